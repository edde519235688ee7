// Where the platform layer looks for a library loaded by name: beside the program, then the
// folders the caller names, then the system's search path; and the folder it lives in itself.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Os.Error.h"
#include "Os.Library.h"
#include "Runtime.Format.h"

namespace fs = std::filesystem;

namespace {

// Two builds of libwinhttp told apart by one export: the full one and the test copy that lacks
// WinHttpQueryAuthSchemes.
const fs::path Full = fs::path(OSTREL_BIN_DIR) / "libwinhttp.so";
const fs::path LacksExport = fs::path(OSTREL_BIN_DIR) / "winhttp-missing-export/libwinhttp.so";

enum class TCopy { None, Full, LacksExport, Broken };

// Folders made for one case and removed after it, whatever the outcome.
class TLayout {
  public:
    explicit TLayout(int Index)
        : FRoot(fs::temp_directory_path() / Runtime::Format("os-library-%d-%d", getpid(), Index)) {
        fs::remove_all(FRoot);
        fs::create_directories(FRoot);
    }
    ~TLayout() {
        std::error_code Ignored;
        fs::remove_all(FRoot, Ignored);
        if (!FBeside.empty()) fs::remove(FBeside, Ignored);
    }
    // A folder holding the given copy under File (or nothing).
    std::string Folder(const std::string& Name, TCopy Copy, const std::string& File) {
        fs::path Dir = FRoot / Name;
        fs::create_directories(Dir);
        Place(Dir / File, Copy);
        return Dir.string();
    }
    // The copy placed next to the running test program.
    void Beside(TCopy Copy, const std::string& File) {
        FBeside = fs::path(Os::ExecutableDir()) / File;
        Place(FBeside, Copy);
    }

  private:
    static void Place(const fs::path& Path, TCopy Copy) {
        switch (Copy) {
            case TCopy::None:
                break;
            case TCopy::Full:
                fs::create_symlink(Full, Path);
                break;
            case TCopy::LacksExport:
                fs::create_symlink(LacksExport, Path);
                break;
            case TCopy::Broken:
                std::ofstream(Path) << "not a shared object\n";
                break;
        }
    }
    fs::path FRoot;
    fs::path FBeside;
};

}  // namespace

TEST(OsLibrary, SearchOrderBesideTheProgramThenTheNamedFolders) {
    struct TCase {
        const char* Name;
        TCopy Beside;
        TCopy First;
        TCopy Second;
        TCopy Expected;  // None: the load fails with 126
    };
    const TCase Cases[] = {
        {"only in the second folder", TCopy::None, TCopy::None, TCopy::Full, TCopy::Full},
        {"first folder before the second", TCopy::None, TCopy::LacksExport, TCopy::Full,
         TCopy::LacksExport},
        {"beside the program before the folders", TCopy::LacksExport, TCopy::Full, TCopy::Full,
         TCopy::LacksExport},
        {"a broken copy is not passed over", TCopy::None, TCopy::Broken, TCopy::Full, TCopy::None},
        {"a broken copy beside the program", TCopy::Broken, TCopy::None, TCopy::Full, TCopy::None},
        {"nowhere", TCopy::None, TCopy::None, TCopy::None, TCopy::None},
    };
    int Index = 0;
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        // A name of this process and case alone: nothing on the system's search path answers
        // it, and the loader has no earlier case's library of that name to hand back.
        const std::string Name = Runtime::Format("ostrel-probe-%d-%d.dll", getpid(), ++Index);
        const std::string File = Os::LibraryFileName(Name);
        TLayout Layout(Index);
        Layout.Beside(C.Beside, File);
        std::vector<std::string> Dirs{Layout.Folder("first", C.First, File),
                                      Layout.Folder("second", C.Second, File)};
        SetLastError(0);
        Os::HMODULE H = Os::SafeLoadLibrary(Name, Os::SEM_NOOPENFILEERRORBOX, Dirs);
        if (C.Expected == TCopy::None) {
            EXPECT_EQ(H, nullptr);
            EXPECT_EQ(GetLastError(), 126u);
            continue;
        }
        ASSERT_NE(H, nullptr);
        EXPECT_NE(Os::GetProcAddress(H, "WinHttpOpen"), nullptr);
        EXPECT_EQ(Os::GetProcAddress(H, "WinHttpQueryAuthSchemes") != nullptr,
                  C.Expected == TCopy::Full);
        Os::FreeLibrary(H);
    }
}

TEST(OsLibrary, NamedFoldersAreNotSearchedForAPathName) {
    TLayout Layout(0);
    std::vector<std::string> Dirs{Layout.Folder("first", TCopy::Full, "libwinhttp.so")};
    EXPECT_EQ(Os::SafeLoadLibrary("elsewhere/winhttp.dll", Os::SEM_NOOPENFILEERRORBOX, Dirs),
              nullptr);
    EXPECT_EQ(GetLastError(), 126u);
}

TEST(OsLibrary, ModuleDirIsWhereThePlatformLibraryWasLoadedFrom) {
    // The test programs find libostrel_os.so in the build's bin folder.
    std::string Dir = Os::ModuleDir();
    ASSERT_FALSE(Dir.empty());
    EXPECT_TRUE(fs::exists(fs::path(Dir) / "libostrel_os.so")) << Dir;
    EXPECT_TRUE(fs::equivalent(Dir, OSTREL_BIN_DIR)) << Dir;
}
