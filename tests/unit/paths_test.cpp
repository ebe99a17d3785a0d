// The folder modes' name <-> path rule: its forms, and every name it writes
// read back to the same bytes.
#include <gtest/gtest.h>

#include <cstring>

#include "fixture/fixture.h"
#include "folder/paths.h"

namespace {

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        size_t slash = path.find('/', start);
        parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

TEST(Paths, Forms) {
    const std::pair<std::string, std::string> cases[] = {
        {"tex/logo.bgra", "tex/logo.bgra.png"},
        {"a b/\xc3\xbc\xe6\x97\xa5.bgra", "a b/\xc3\xbc\xe6\x97\xa5.bgra.png"},  // valid UTF-8 stays
        {"50%", "50%25.png"},
        {"x:y*z?", "x%3Ay%2Az%3F.png"},
        {"\"<>|\\", "%22%3C%3E%7C%5C.png"},
        {std::string("t\tn\n\0\x1f\x7f", 7), "t%09n%0A%00%1F%7F.png"},
        {"\xff\xfe", "%FF%FE.png"},                     // no UTF-8
        {"\xc0\xaf", "%C0%AF.png"},                     // overlong
        {"\xed\xa0\x80", "%ED%A0%80.png"},              // a surrogate
        {"\xf4\x90\x80\x80", "%F4%90%80%80.png"},       // past U+10FFFF
        {"\xe6\x97", "%E6%97.png"},                     // cut short
        {"con", "%63on.png"},
        {"CON.bgra", "%43ON.bgra.png"},
        {"nul/x", "%6Eul/x.png"},
        {"Com1", "%43om1.png"},
        {"lpt9.a/b", "%6Cpt9.a/b.png"},
        {"com\xc2\xb9", "%63om\xc2\xb9.png"},
        {"aux ", "%61ux .png"},
        {"com0", "com0.png"},
        {"console", "console.png"},
        {"dir./x", "dir%2E/x.png"},
        {"dir /x", "dir%20/x.png"},
        {"x.", "x..png"},
        {"/a", "%2Fa.png"},
        {"a/", "a%2F.png"},
        {"a//b", "a%2F%2Fb.png"},
        {"./a", ".%2Fa.png"},
        {"a/../b", "a%2F..%2Fb.png"},
        {"..", "...png"},
        {"", ".png"}};
    for (const auto& [name, path] : cases) {
        SCOPED_TRACE(testing::PrintToString(name));
        EXPECT_EQ(joined(velmorin::path_of_name(name)), path);
        std::string back;
        ASSERT_TRUE(velmorin::name_of_path(split(path), &back));
        EXPECT_EQ(back, name);
    }
}

TEST(Paths, Back) {
    const std::pair<std::string, const char*> cases[] = {
        {"x.PNG", "x"},     {"x.Bmp", "x"},  {"d/x.bmp", "d/x"}, {"a%2f.png", "a/"},
        {"x.jpg", nullptr}, {"png", nullptr}, {"a%2.png", nullptr}, {"a%zz.png", nullptr}, {"%.png", nullptr}};
    for (const auto& [path, name] : cases) {
        SCOPED_TRACE(path);
        std::string back;
        EXPECT_EQ(velmorin::name_of_path(split(path), &back), name != nullptr);
        if (name) {
            EXPECT_EQ(back, name);
        }
    }
}

// Names built from every byte, alone, between others, and after a folder:
// each comes back as it was, through parts that hold no byte a file system
// refuses and never leave the folder.
TEST(Paths, EveryByteRoundTrips) {
    std::vector<std::string> names;
    for (int b = 0; b < 256; ++b) {
        std::string c(1, static_cast<char>(b));
        names.insert(names.end(), {c, "a" + c + "z", "dir/" + c, c + "/x", c + c + "." + c});
    }
    fixture::bytes noise = fixture::pattern(4000, 17);
    for (size_t at = 0; at + 40 <= noise.size(); at += 40) {
        std::string name(noise.begin() + static_cast<long>(at), noise.begin() + static_cast<long>(at + 40));
        for (size_t k = 5; k < name.size(); k += 9) name[k] = '/';
        names.push_back(name);
    }
    for (const std::string& name : names) {
        SCOPED_TRACE(testing::PrintToString(name));
        std::vector<std::string> parts = velmorin::path_of_name(name);
        for (const std::string& p : parts) {
            EXPECT_TRUE(p != "" && p != "." && p != "..");
            for (char ch : p) {
                unsigned char c = static_cast<unsigned char>(ch);
                EXPECT_TRUE(c >= 0x20 && c != 0x7f && !strchr("/\\:*?\"<>|", c)) << p;
            }
        }
        std::string back;
        ASSERT_TRUE(velmorin::name_of_path(parts, &back));
        EXPECT_EQ(back, name);
    }
}

}  // namespace

namespace {

TEST(Paths, FolderAsTyped) {
    const std::pair<const char*, const char*> cases[] = {
        {"mod", "mod"}, {"mod/", "mod"}, {"mod//", "mod"}, {"mod\\", "mod\\"}, {"/", "/"}, {"a/b/", "a/b"}};
    for (const auto& [typed, folder] : cases) EXPECT_EQ(velmorin::folder_path(typed), folder) << typed;
}

}  // namespace
