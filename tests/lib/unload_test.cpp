// Unloading the library releases the control handles it still holds. The
// library is loaded with dlopen here (this program does not link it), so
// dlclose really unloads it. (vcomctl's busy-device test shows the same at
// process exit.)
#include "daemon_fixture.h"

#include <VZelSerial.h>

#include <dlfcn.h>

#include <utility>

namespace zel::test {
namespace {

// The library loaded for the object's lifetime, with the three exports the
// tests need.
struct LoadedLibrary {
    LoadedLibrary() : Module(dlopen(VZELSERIAL_PATH, RTLD_NOW | RTLD_LOCAL)) {}
    LoadedLibrary(const LoadedLibrary&) = delete;
    ~LoadedLibrary() { Unload(); }
    // True when dlclose succeeded.
    bool Unload() { return Module == nullptr || dlclose(std::exchange(Module, nullptr)) == 0; }
    template <typename Export>
    Export Find(const char* name) const
    {
        return Module == nullptr ? nullptr : reinterpret_cast<Export>(dlsym(Module, name));
    }

    void* Module;
    decltype(&VCOM_CreateDevice) Create = Find<decltype(Create)>("VCOM_CreateDevice");
    decltype(&VCOM_ReleaseDevice) Release = Find<decltype(Release)>("VCOM_ReleaseDevice");
    decltype(&VCOM_GetDevModCount) Count = Find<decltype(Count)>("VCOM_GetDevModCount");
    bool Loaded() const { return Create != nullptr && Release != nullptr && Count != nullptr; }
};

// The device can be opened again: nothing holds it any more. Unloading
// after the release must then leave it free too.
void ExpectDeviceFree()
{
    LoadedLibrary library;
    ASSERT_TRUE(library.Loaded()) << dlerror();
    const HANDLE handle = library.Create();
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(library.Release(handle), 1);
    EXPECT_TRUE(library.Unload());
}

using UnloadTest = zeltest::DaemonTest;

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
    ExpectDeviceFree();
}

}  // namespace
}  // namespace zel::test
