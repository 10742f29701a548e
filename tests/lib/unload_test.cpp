// Unloading the library releases the control handles it still holds. The
// library is loaded with dlopen here (this program does not link it), so
// dlclose really unloads it; and a separate program checks the same at
// process exit.
#include "lib/library_fixture.h"

#include <dlfcn.h>

namespace zel::test {
namespace {

constexpr const char kHolding[] = "holding";

// The library loaded for the object's lifetime, with the three exports the
// tests need.
class LoadedLibrary {
public:
    LoadedLibrary() : module_(dlopen(VZELSERIAL_PATH, RTLD_NOW | RTLD_LOCAL))
    {
        if (module_ != nullptr) {
            create_ = reinterpret_cast<decltype(create_)>(dlsym(module_, "VCOM_CreateDevice"));
            release_ = reinterpret_cast<decltype(release_)>(dlsym(module_, "VCOM_ReleaseDevice"));
            count_ = reinterpret_cast<decltype(count_)>(dlsym(module_, "VCOM_GetDevModCount"));
        }
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    ~LoadedLibrary() { Unload(); }

    bool Loaded() const { return create_ != nullptr && release_ != nullptr && count_ != nullptr; }
    HANDLE Create() const { return create_(); }
    BOOL Release(HANDLE Handle) const { return release_(Handle); }
    BOOL Count(HANDLE Handle, DWORD* Value) const { return count_(Handle, Value); }

    // True when dlclose succeeded.
    bool Unload()
    {
        if (module_ == nullptr) {
            return true;
        }
        const bool closed = dlclose(module_) == 0;
        module_ = nullptr;
        return closed;
    }

private:
    void* module_;
    decltype(&VCOM_CreateDevice) create_ = nullptr;
    decltype(&VCOM_ReleaseDevice) release_ = nullptr;
    decltype(&VCOM_GetDevModCount) count_ = nullptr;
};

// The device can be opened again: nothing holds it any more.
void ExpectDeviceFree()
{
    LoadedLibrary library;
    ASSERT_TRUE(library.Loaded()) << dlerror();
    const HANDLE handle = library.Create();
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(library.Release(handle), 1);
}

using UnloadTest = LibraryTest;

TEST_F(UnloadTest, UnloadWithAnOpenHandleReleasesTheDevice)
{
    LoadedLibrary library;
    ASSERT_TRUE(library.Loaded()) << dlerror();
    const HANDLE handle = library.Create();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD count = 1;
    EXPECT_EQ(library.Count(handle, &count), 1);
    EXPECT_EQ(count, 0u);
    // Still held: a second open is refused.
    EXPECT_EQ(library.Create(), INVALID_HANDLE_VALUE);

    ASSERT_TRUE(library.Unload());
    ExpectDeviceFree();
}

TEST_F(UnloadTest, UnloadAfterReleaseLeavesNothingToDo)
{
    LoadedLibrary library;
    ASSERT_TRUE(library.Loaded()) << dlerror();
    const HANDLE handle = library.Create();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(library.Release(handle), 1);
    ASSERT_TRUE(library.Unload());
    ExpectDeviceFree();
}

TEST_F(UnloadTest, UnloadWithoutHandles)
{
    {
        LoadedLibrary library;
        ASSERT_TRUE(library.Loaded()) << dlerror();
        ASSERT_TRUE(library.Unload());
    }
    ExpectDeviceFree();
}

TEST_F(UnloadTest, ProcessExitWithAnOpenHandleReleasesTheDevice)
{
    ChildProcess holder(HANDLE_HOLDER_PATH, {});
    ASSERT_TRUE(holder.Stdout().WaitForPrefix(kHolding))
        << holder.Stdout().Text() << holder.Stderr().Text();
    holder.CloseStdin();
    EXPECT_TRUE(ChildProcess::ExitedWith(holder.WaitForExit(), 0)) << holder.Stderr().Text();
    ExpectDeviceFree();
}

}  // namespace
}  // namespace zel::test
