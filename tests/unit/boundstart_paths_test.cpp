// Composition of the launcher's private-copy path and the absolute-folder test.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "launcher_paths.h"

namespace boundstart {
namespace {

const std::u16string kSuffix = u"\\Verimon Tessel\\Versions\\1.0\\Verimon Tessel.dll";

// Runs ReplaceFileNameWith on `path` in a buffer of the launcher's capacity.
bool Compose(const std::u16string &path, std::u16string &out) {
    char16_t buffer[kPathCapacity + 1];
    buffer[kPathCapacity] = u'#'; // guard just past the capacity
    path.copy(buffer, path.size());
    const bool ok = ReplaceFileNameWith(buffer, path.size(), kSuffix.c_str(), kSuffix.size());
    EXPECT_EQ(buffer[kPathCapacity], u'#');
    out = ok ? std::u16string(buffer) : std::u16string();
    return ok;
}

TEST(BoundstartPaths, ReplacesTheFileNameBelowTheLaunchersFolder) {
    std::u16string out;
    ASSERT_TRUE(Compose(u"C:\\Apps\\Game\\Boundstart.exe", out));
    EXPECT_EQ(out, u"C:\\Apps\\Game" + kSuffix);
    ASSERT_TRUE(Compose(u"C:\\Boundstart.exe", out));
    EXPECT_EQ(out, u"C:" + kSuffix);
    // Only the last backslash counts.
    ASSERT_TRUE(Compose(u"\\\\server\\share\\a\\b.exe", out));
    EXPECT_EQ(out, u"\\\\server\\share\\a" + kSuffix);
}

TEST(BoundstartPaths, NeedsABackslashAfterTheFirstCharacter) {
    std::u16string out;
    EXPECT_FALSE(Compose(u"Boundstart.exe", out));
    EXPECT_FALSE(Compose(u"\\Boundstart.exe", out));
    EXPECT_FALSE(Compose(u"", out));
    EXPECT_TRUE(Compose(u"x\\Boundstart.exe", out));
    EXPECT_EQ(out, u"x" + kSuffix);
}

TEST(BoundstartPaths, ResultOfAtMost260Characters) {
    std::u16string out;
    // Folder plus suffix of exactly 260 characters fits, one more does not.
    const size_t folder = kMaxPathLength - kSuffix.size();
    const std::u16string fits = u"C:\\" + std::u16string(folder - 3, u'd') + u"\\L.exe";
    ASSERT_TRUE(Compose(fits, out));
    EXPECT_EQ(out.size(), kMaxPathLength);
    const std::u16string over = u"C:\\" + std::u16string(folder - 2, u'd') + u"\\L.exe";
    EXPECT_FALSE(Compose(over, out));
    // A long file name does not count against the limit: only the folder stays.
    const std::u16string longName = u"C:\\d\\" + std::u16string(255, u'n');
    ASSERT_TRUE(Compose(longName, out));
    EXPECT_EQ(out, u"C:\\d" + kSuffix);
}

// What the launcher loads where the system refuses LOAD_LIBRARY_SEARCH_SYSTEM32: the system
// folder, as GetSystemDirectoryW reported it, joined with the library's name.
TEST(BoundstartPaths, LibraryPathInTheSystemFolder) {
    const std::u16string name = u"msi.dll";
    struct Row {
        std::u16string folder;
        size_t reported; // GetSystemDirectoryW's result
        const char16_t *expected; // null: fails
    };
    const std::u16string longFolder = u"C:\\" + std::u16string(kMaxPathLength - 3 - 7, u'w');
    const Row rows[] = {
        {u"C:\\Windows\\system32", 19, u"C:\\Windows\\system32\\msi.dll"},
        {u"C:\\", 3, u"C:\\msi.dll"},
        {u"\\\\server\\share\\system32", 23, u"\\\\server\\share\\system32\\msi.dll"},
        {longFolder, longFolder.size(), nullptr}, // one character too long with the name
        {longFolder.substr(1), longFolder.size() - 1, nullptr}, // not absolute
        {u"", 0, nullptr},                                       // the call failed
        {u"C:\\Windows\\system32", kPathCapacity + 5, nullptr}, // did not fit the buffer
        {u"system32", 8, nullptr},
    };
    for (const Row &row : rows) {
        char16_t buffer[kPathCapacity + 1];
        buffer[kPathCapacity] = u'#';
        row.folder.copy(buffer, std::min(row.folder.size(), kPathCapacity));
        const bool ok = AppendToSystemFolder(buffer, row.reported, name.c_str(), name.size());
        EXPECT_EQ(buffer[kPathCapacity], u'#');
        EXPECT_EQ(ok, row.expected != nullptr) << std::string(row.folder.begin(), row.folder.end());
        if (ok && row.expected != nullptr) {
            EXPECT_EQ(std::u16string(buffer), row.expected);
        }
    }
    // Exactly 260 characters with the name fits.
    char16_t buffer[kPathCapacity];
    const std::u16string fits = longFolder.substr(0, longFolder.size() - 1);
    fits.copy(buffer, fits.size());
    ASSERT_TRUE(AppendToSystemFolder(buffer, fits.size(), name.c_str(), name.size()));
    EXPECT_EQ(std::u16string(buffer).size(), kMaxPathLength);
}

TEST(BoundstartPaths, AbsoluteFolders) {
    EXPECT_TRUE(IsAbsoluteDirectory(u"C:\\"));
    EXPECT_TRUE(IsAbsoluteDirectory(u"z:\\Program Files\\Verimon Tessel"));
    EXPECT_TRUE(IsAbsoluteDirectory(u"\\\\server\\share"));
    EXPECT_FALSE(IsAbsoluteDirectory(u""));
    EXPECT_FALSE(IsAbsoluteDirectory(u"Verimon Tessel"));
    EXPECT_FALSE(IsAbsoluteDirectory(u"C:"));
    EXPECT_FALSE(IsAbsoluteDirectory(u"C:dir"));
    EXPECT_FALSE(IsAbsoluteDirectory(u"\\dir"));
    EXPECT_FALSE(IsAbsoluteDirectory(u".\\dir"));
    EXPECT_FALSE(IsAbsoluteDirectory(u"1:\\dir"));
}

} // namespace
} // namespace boundstart
