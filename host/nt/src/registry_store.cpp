// The host registry over SQLite: one database file for the services tree,
// one in-memory database for the device map, the same schema in both.
//
// Durability: the file database runs in WAL mode (rollback journal where the
// file system cannot do WAL) with synchronous=FULL, and every call is one
// transaction, so a write is on disk when the call returns and a crash at any
// point leaves either the old or the new value.

#include "registry_store.h"
#include <host/common/non_copyable.h>

#include "rtl_unicode.h"

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace host {

namespace {

namespace fs = std::filesystem;

constexpr char kDatabaseFileName[] = "registry.sqlite3";
constexpr char kMemoryDatabase[] = ":memory:";
// PRAGMA user_version of the layout below; a later host migrates from it.
constexpr int kSchemaVersion = 1;
// Another process holding the database (an administration tool) delays a
// call at most this long before it fails.
constexpr int kBusyTimeoutMilliseconds = 5000;
// keys.parent of the keys directly below the root; the root has no row.
constexpr std::int64_t kRootKeyId = 0;
constexpr char kPathSeparator = '\\';

constexpr const char* kSchema = R"sql(
CREATE TABLE keys (
    id INTEGER PRIMARY KEY,
    parent INTEGER NOT NULL,
    name TEXT NOT NULL,
    folded TEXT NOT NULL,
    UNIQUE (parent, folded)
);
CREATE TABLE key_values (
    key INTEGER NOT NULL,
    name TEXT NOT NULL,
    folded TEXT NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (key, folded)
);
)sql";

// ---------------------------------------------------------------------------
// SQLite handles
// ---------------------------------------------------------------------------

struct SqliteError : std::runtime_error {
    SqliteError(int code, const std::string& message) : std::runtime_error(message), Code(code) {}
    const int Code;
};

[[noreturn]] void ThrowSqlite(sqlite3* db, int code)
{
    throw SqliteError(code, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

struct ConnectionCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

void Exec(sqlite3* db, const char* sql)
{
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        ThrowSqlite(db, rc);
    }
}

class Statement : zel::NonCopyable {
public:
    Statement(sqlite3* db, const char* sql) : db_(db)
    {
        const int rc = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
        if (rc != SQLITE_OK) {
            ThrowSqlite(db, rc);
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }

    Statement& Bind(int index, std::int64_t value)
    {
        Check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Statement& Bind(int index, const std::string& text)
    {
        Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& Bind(int index, const std::vector<std::uint8_t>& bytes)
    {
        // An empty blob must still be a blob: the column is NOT NULL.
        Check(bytes.empty() ? sqlite3_bind_zeroblob(statement_, index, 0)
                            : sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(),
                                                  SQLITE_TRANSIENT));
        return *this;
    }

    // True while a row is available.
    bool Step()
    {
        const int rc = sqlite3_step(statement_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            ThrowSqlite(db_, rc);
        }
        return false;
    }

    std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
    std::string Text(int column) const
    {
        const auto* text = sqlite3_column_text(statement_, column);
        const int bytes = sqlite3_column_bytes(statement_, column);
        return text == nullptr ? std::string()
                               : std::string(reinterpret_cast<const char*>(text),
                                             static_cast<std::size_t>(bytes));
    }
    std::vector<std::uint8_t> Blob(int column) const
    {
        const auto* data =
            static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
        const int bytes = sqlite3_column_bytes(statement_, column);
        return data == nullptr ? std::vector<std::uint8_t>()
                               : std::vector<std::uint8_t>(data, data + bytes);
    }

private:
    void Check(int rc)
    {
        if (rc != SQLITE_OK) {
            ThrowSqlite(db_, rc);
        }
    }

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

// BEGIN on construction, ROLLBACK on destruction unless committed.
class Transaction : zel::NonCopyable {
public:
    enum class Kind { Read, Write };

    Transaction(sqlite3* db, Kind kind) : db_(db)
    {
        // IMMEDIATE takes the write lock at once, so a writer never fails
        // half-way on a lock another connection holds.
        Exec(db_, kind == Kind::Write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    ~Transaction()
    {
        if (!finished_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }

    void Commit()
    {
        Exec(db_, "COMMIT");
        finished_ = true;
    }

private:
    sqlite3* db_;
    bool finished_ = false;
};

NTSTATUS StatusFromSqlite(int code)
{
    constexpr int kPrimaryResultCodeMask = 0xFF;  // extended codes keep it in the low byte
    switch (code & kPrimaryResultCodeMask) {
    case SQLITE_FULL:
        return STATUS_DISK_FULL;
    case SQLITE_NOMEM:
    case SQLITE_TOOBIG:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_REGISTRY_IO_FAILED;
    }
}

// ---------------------------------------------------------------------------
// Names and paths
// ---------------------------------------------------------------------------

struct Name {
    std::string Display;  // as the caller wrote it
    std::string Folded;   // lookup key
};

NTSTATUS MakeName(std::string_view text, Name* name)
{
    if (text.empty() || text.find('\0') != std::string_view::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::optional<std::string> folded = rtl::FoldName(text);
    if (!folded) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    *name = Name{std::string(text), std::move(*folded)};
    return STATUS_SUCCESS;
}

NTSTATUS SplitPath(std::string_view path, std::vector<Name>* components)
{
    components->clear();
    if (!path.empty() && path.front() == kPathSeparator) {
        path.remove_prefix(1);
    }
    if (path.empty()) {
        return STATUS_SUCCESS;
    }
    while (true) {
        const std::size_t end = path.find(kPathSeparator);
        Name component;
        const NTSTATUS status = MakeName(path.substr(0, end), &component);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        components->push_back(std::move(component));
        if (end == std::string_view::npos) {
            return STATUS_SUCCESS;
        }
        path.remove_prefix(end + 1);
    }
}

// ---------------------------------------------------------------------------
// One tree of keys in one database
// ---------------------------------------------------------------------------

using KeyCreation = RegistryStore::KeyCreation;

class Hive {
public:
    explicit Hive(Connection db) : db_(std::move(db)) {}

    std::optional<RegistryValue> Query(const std::vector<Name>& key, const Name& value) const
    {
        std::lock_guard lock(mutex_);
        try {
            Transaction transaction(db_.get(), Transaction::Kind::Read);
            const std::optional<std::int64_t> id = FindKey(key);
            if (!id) {
                return std::nullopt;
            }
            Statement select(db_.get(),
                             "SELECT type, data FROM key_values WHERE key = ? AND folded = ?");
            select.Bind(1, *id).Bind(2, value.Folded);
            if (!select.Step()) {
                return std::nullopt;
            }
            return RegistryValue{static_cast<ULONG>(select.Int(0)), select.Blob(1)};
        } catch (const SqliteError&) {
            return std::nullopt;
        }
    }

    NTSTATUS ReadKey(const std::vector<Name>& key, std::vector<RegistryNamedValue>* values) const
    {
        std::lock_guard lock(mutex_);
        try {
            Transaction transaction(db_.get(), Transaction::Kind::Read);
            const std::optional<std::int64_t> id = FindKey(key);
            if (!id) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            Statement select(
                db_.get(), "SELECT name, type, data FROM key_values WHERE key = ? ORDER BY rowid");
            select.Bind(1, *id);
            values->clear();
            while (select.Step()) {
                values->push_back(RegistryNamedValue{
                    select.Text(0),
                    RegistryValue{static_cast<ULONG>(select.Int(1)), select.Blob(2)}});
            }
            return STATUS_SUCCESS;
        } catch (const SqliteError& error) {
            return StatusFromSqlite(error.Code);
        }
    }

    std::vector<std::string> ValueNames(const std::vector<Name>& key) const
    {
        std::vector<RegistryNamedValue> values;
        std::vector<std::string> names;
        if (NT_SUCCESS(ReadKey(key, &values))) {
            for (RegistryNamedValue& value : values) {
                names.push_back(std::move(value.Name));
            }
        }
        return names;
    }

    bool KeyExists(const std::vector<Name>& key) const
    {
        std::lock_guard lock(mutex_);
        try {
            Transaction transaction(db_.get(), Transaction::Kind::Read);
            return FindKey(key).has_value();
        } catch (const SqliteError&) {
            return false;
        }
    }

    NTSTATUS Write(const std::vector<Name>& key, const Name& value, const RegistryValue& data,
                   KeyCreation creation)
    {
        return Modify([&] {
            const std::optional<std::int64_t> found = CreatePath(key, creation);
            if (!found) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            const std::int64_t id = *found;
            // A value keeps the name (and position) it was created with.
            Statement upsert(db_.get(),
                             "INSERT INTO key_values (key, name, folded, type, data) "
                             "VALUES (?, ?, ?, ?, ?) ON CONFLICT (key, folded) "
                             "DO UPDATE SET type = excluded.type, data = excluded.data");
            upsert.Bind(1, id)
                .Bind(2, value.Display)
                .Bind(3, value.Folded)
                .Bind(4, static_cast<std::int64_t>(data.Type))
                .Bind(5, data.Data);
            upsert.Step();
            return STATUS_SUCCESS;
        });
    }

    NTSTATUS CreateKey(const std::vector<Name>& key)
    {
        return Modify([&] {
            CreatePath(key, KeyCreation::WholePath);
            return STATUS_SUCCESS;
        });
    }

    NTSTATUS DeleteValue(const std::vector<Name>& key, const Name& value)
    {
        return Modify([&] {
            const std::optional<std::int64_t> id = FindKey(key);
            if (!id) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            Statement remove(db_.get(), "DELETE FROM key_values WHERE key = ? AND folded = ?");
            remove.Bind(1, *id).Bind(2, value.Folded);
            remove.Step();
            return sqlite3_changes(db_.get()) == 0 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
        });
    }

    // Deletes the key with its values and every key below it.
    NTSTATUS DeleteKey(const std::vector<Name>& key)
    {
        return Modify([&] {
            const std::optional<std::int64_t> id = FindKey(key);
            if (!id) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            constexpr const char* kSubtree =
                "WITH RECURSIVE subtree(id) AS (SELECT ? UNION ALL "
                "SELECT keys.id FROM keys JOIN subtree ON keys.parent = subtree.id) ";
            Statement values(
                db_.get(),
                (std::string(kSubtree) + "DELETE FROM key_values WHERE key IN subtree").c_str());
            values.Bind(1, *id);
            values.Step();
            Statement keys(
                db_.get(),
                (std::string(kSubtree) + "DELETE FROM keys WHERE id IN subtree").c_str());
            keys.Bind(1, *id);
            keys.Step();
            return STATUS_SUCCESS;
        });
    }

private:
    // Runs one write transaction; any SQLite failure rolls it back.
    template <typename Body>
    NTSTATUS Modify(Body body)
    {
        std::lock_guard lock(mutex_);
        try {
            Transaction transaction(db_.get(), Transaction::Kind::Write);
            const NTSTATUS status = body();
            if (NT_SUCCESS(status)) {
                transaction.Commit();
            }
            return status;
        } catch (const SqliteError& error) {
            return StatusFromSqlite(error.Code);
        }
    }

    std::optional<std::int64_t> FindChild(std::int64_t parent, const Name& name) const
    {
        Statement select(db_.get(), "SELECT id FROM keys WHERE parent = ? AND folded = ?");
        select.Bind(1, parent).Bind(2, name.Folded);
        if (!select.Step()) {
            return std::nullopt;
        }
        return select.Int(0);
    }

    std::optional<std::int64_t> FindKey(const std::vector<Name>& key) const
    {
        std::int64_t id = kRootKeyId;
        for (const Name& component : key) {
            const std::optional<std::int64_t> child = FindChild(id, component);
            if (!child) {
                return std::nullopt;
            }
            id = *child;
        }
        return id;
    }

    // Nothing when a key above the last is missing and only the last may be
    // created.
    std::optional<std::int64_t> CreatePath(const std::vector<Name>& key, KeyCreation creation)
    {
        std::int64_t id = kRootKeyId;
        for (std::size_t i = 0; i < key.size(); ++i) {
            const Name& component = key[i];
            std::optional<std::int64_t> child = FindChild(id, component);
            if (!child && creation == KeyCreation::LastKeyOnly && i + 1 < key.size()) {
                return std::nullopt;
            }
            if (!child) {
                Statement insert(db_.get(),
                                 "INSERT INTO keys (parent, name, folded) VALUES (?, ?, ?)");
                insert.Bind(1, id).Bind(2, component.Display).Bind(3, component.Folded);
                insert.Step();
                child = sqlite3_last_insert_rowid(db_.get());
            }
            id = *child;
        }
        return id;
    }

    mutable std::mutex mutex_;
    Connection db_;
};

Connection OpenConnection(const std::string& location)
{
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(location.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    Connection db(raw);
    if (rc != SQLITE_OK) {
        ThrowSqlite(db.get(), rc);
    }
    sqlite3_extended_result_codes(db.get(), 1);
    return db;
}

int UserVersion(sqlite3* db)
{
    Statement select(db, "PRAGMA user_version");
    select.Step();
    return static_cast<int>(select.Int(0));
}

// Creates the tables in a new database; refuses a database written by a
// newer host. Later versions migrate here, step by step from user_version.
void PrepareSchema(sqlite3* db, const std::string& location)
{
    Transaction transaction(db, Transaction::Kind::Write);
    const int version = UserVersion(db);
    if (version > kSchemaVersion) {
        throw std::runtime_error("registry database " + location + " has schema version " +
                                 std::to_string(version) + ", newer than this host's " +
                                 std::to_string(kSchemaVersion));
    }
    if (version == 0) {
        Exec(db, kSchema);
        Exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    }
    transaction.Commit();
}

std::unique_ptr<Hive> OpenFileHive(const fs::path& file)
{
    const std::string location = file.string();
    try {
        Connection db = OpenConnection(location);
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMilliseconds);
        Exec(db.get(), "PRAGMA journal_mode = WAL");
        Exec(db.get(), "PRAGMA synchronous = FULL");
        PrepareSchema(db.get(), location);
        return std::make_unique<Hive>(std::move(db));
    } catch (const SqliteError& error) {
        throw std::runtime_error("cannot open the registry database " + location + ": " +
                                 error.what());
    }
}

std::unique_ptr<Hive> OpenMemoryHive()
{
    try {
        Connection db = OpenConnection(kMemoryDatabase);
        PrepareSchema(db.get(), kMemoryDatabase);
        return std::make_unique<Hive>(std::move(db));
    } catch (const SqliteError& error) {
        throw std::runtime_error(std::string("cannot create the in-memory device map: ") +
                                 error.what());
    }
}

// ---------------------------------------------------------------------------
// The store
// ---------------------------------------------------------------------------

class SqliteRegistryStore final : public RegistryStore {
public:
    SqliteRegistryStore(std::unique_ptr<Hive> services, std::unique_ptr<Hive> deviceMap)
        : services_(std::move(services)), deviceMap_(std::move(deviceMap))
    {
    }

    std::optional<RegistryValue> Query(ULONG relativeTo, const std::string& key,
                                       const std::string& valueName) const override
    {
        Resolved path;
        Name value;
        if (!NT_SUCCESS(Resolve(relativeTo, key, &path)) ||
            !NT_SUCCESS(MakeName(valueName, &value))) {
            return std::nullopt;
        }
        return path.Tree->Query(path.Key, value);
    }

    NTSTATUS Write(ULONG relativeTo, const std::string& key, const std::string& valueName,
                   const RegistryValue& value) override
    {
        return WriteValue(relativeTo, key, valueName, value, KeyCreation::WholePath);
    }

    NTSTATUS WriteValue(ULONG relativeTo, const std::string& key, const std::string& valueName,
                        const RegistryValue& value, KeyCreation creation) override
    {
        Resolved path;
        Name name;
        NTSTATUS status = ResolveValue(relativeTo, key, valueName, &path, &name);
        return NT_SUCCESS(status) ? path.Tree->Write(path.Key, name, value, creation) : status;
    }

    NTSTATUS DeleteValue(ULONG relativeTo, const std::string& key,
                         const std::string& valueName) override
    {
        Resolved path;
        Name name;
        NTSTATUS status = ResolveValue(relativeTo, key, valueName, &path, &name);
        return NT_SUCCESS(status) ? path.Tree->DeleteValue(path.Key, name) : status;
    }

    NTSTATUS CreateKey(ULONG relativeTo, const std::string& key) override
    {
        Resolved path;
        NTSTATUS status = Resolve(relativeTo, key, &path);
        return NT_SUCCESS(status) ? path.Tree->CreateKey(path.Key) : status;
    }

    NTSTATUS DeleteKey(ULONG relativeTo, const std::string& key) override
    {
        Resolved path;
        NTSTATUS status = Resolve(relativeTo, key, &path);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (path.Key.empty()) {
            return STATUS_INVALID_PARAMETER;  // a root is never deleted
        }
        return path.Tree->DeleteKey(path.Key);
    }

    bool KeyExists(ULONG relativeTo, const std::string& key) const override
    {
        Resolved path;
        return NT_SUCCESS(Resolve(relativeTo, key, &path)) && path.Tree->KeyExists(path.Key);
    }

    std::vector<std::string> ValueNames(ULONG relativeTo, const std::string& key) const override
    {
        Resolved path;
        if (!NT_SUCCESS(Resolve(relativeTo, key, &path))) {
            return {};
        }
        return path.Tree->ValueNames(path.Key);
    }

    NTSTATUS ReadKey(ULONG relativeTo, const std::string& key,
                     std::vector<RegistryNamedValue>* values) const override
    {
        Resolved path;
        NTSTATUS status = Resolve(relativeTo, key, &path);
        return NT_SUCCESS(status) ? path.Tree->ReadKey(path.Key, values) : status;
    }

private:
    struct Resolved {
        Hive* Tree = nullptr;
        std::vector<Name> Key;  // below the root
    };

    NTSTATUS Resolve(ULONG relativeTo, const std::string& key, Resolved* resolved) const
    {
        switch (relativeTo) {
        case RTL_REGISTRY_SERVICES:
            resolved->Tree = services_.get();
            return SplitPath(key, &resolved->Key);
        case RTL_REGISTRY_DEVICEMAP:
            resolved->Tree = deviceMap_.get();
            return SplitPath(key, &resolved->Key);
        case RTL_REGISTRY_ABSOLUTE:
        case RTL_REGISTRY_CONTROL:
        case RTL_REGISTRY_WINDOWS_NT:
        case RTL_REGISTRY_USER:
            return STATUS_NOT_IMPLEMENTED;  // real NT roots this host does not keep
        default:
            return STATUS_INVALID_PARAMETER;
        }
    }

    // A value needs a key below the root and a non-empty name.
    NTSTATUS ResolveValue(ULONG relativeTo, const std::string& key, const std::string& valueName,
                          Resolved* resolved, Name* name) const
    {
        NTSTATUS status = Resolve(relativeTo, key, resolved);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (resolved->Key.empty() || valueName.empty()) {
            return STATUS_INVALID_PARAMETER;
        }
        return MakeName(valueName, name);
    }

    std::unique_ptr<Hive> services_;
    std::unique_ptr<Hive> deviceMap_;
};

}  // namespace

std::unique_ptr<RegistryStore> RegistryStore::Open(const std::filesystem::path& stateDirectory)
{
    return std::make_unique<SqliteRegistryStore>(OpenFileHive(stateDirectory / kDatabaseFileName),
                                                 OpenMemoryHive());
}

}  // namespace host
