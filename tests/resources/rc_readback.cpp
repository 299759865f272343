// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a compiled Windows resource file (.res, as written by windres -O res)
// and checks what Kiverlo.exe carries: the icon group IDI_ICON1 with the
// 16, 24, 32, 48 and 256 px images at 32 bits per pixel, and the version
// record with its fixed numbers and its text fields.
//
// usage: rc_readback <file.res>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

int failures = 0;

void fail(const std::string &what)
{
    std::printf("FAIL: %s\n", what.c_str());
    ++failures;
}

void pass(const std::string &what)
{
    std::printf("ok:   %s\n", what.c_str());
}

void check(bool good, const std::string &what)
{
    if (good)
        pass(what);
    else
        fail(what);
}

struct Truncated
{ };

std::uint16_t u16(const Bytes &b, std::size_t at)
{
    if (at + 2 > b.size())
        throw Truncated {};
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t u32(const Bytes &b, std::size_t at)
{
    if (at + 4 > b.size())
        throw Truncated {};
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8
        | static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::uint32_t be32(const Bytes &b, std::size_t at)
{
    if (at + 4 > b.size())
        throw Truncated {};
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16
        | static_cast<std::uint32_t>(b[at + 2]) << 8 | static_cast<std::uint32_t>(b[at + 3]);
}

std::size_t align4(std::size_t n)
{
    return (n + 3) & ~std::size_t(3);
}

// UTF-16LE text up to a NUL or `end`; `at` moves past the NUL. Only ASCII is
// expected here, anything else is shown as '?'.
std::string utf16(const Bytes &b, std::size_t &at, std::size_t end)
{
    std::string s;
    while (at + 2 <= end) {
        const std::uint16_t c = u16(b, at);
        at += 2;
        if (c == 0)
            break;
        s += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return s;
}

// A resource type or name: a number, or a string.
struct Id
{
    bool isNumber = false;
    std::uint16_t number = 0;
    std::string text;

    std::string show() const { return isNumber ? std::to_string(number) : '"' + text + '"'; }
};

Id readId(const Bytes &b, std::size_t &at, std::size_t end)
{
    Id id;
    if (u16(b, at) == 0xffff) {
        id.isNumber = true;
        id.number = u16(b, at + 2);
        at += 4;
    } else {
        id.text = utf16(b, at, end);
    }
    return id;
}

struct Resource
{
    Id type;
    Id name;
    std::uint16_t language = 0;
    Bytes data;
};

constexpr std::uint16_t RT_ICON = 3;
constexpr std::uint16_t RT_GROUP_ICON = 14;
constexpr std::uint16_t RT_VERSION = 16;

std::vector<Resource> readRes(const Bytes &b)
{
    std::vector<Resource> all;
    std::size_t at = 0;
    while (at + 8 <= b.size()) {
        const std::uint32_t dataSize = u32(b, at);
        const std::uint32_t headerSize = u32(b, at + 4);
        if (headerSize < 16 || at + headerSize + dataSize > b.size())
            throw Truncated {};
        const std::size_t headerEnd = at + headerSize;
        std::size_t p = at + 8;
        Resource r;
        r.type = readId(b, p, headerEnd);
        r.name = readId(b, p, headerEnd);
        p = at + align4(p - at);
        // DataVersion (4), MemoryFlags (2), LanguageId (2), Version, Characteristics
        r.language = u16(b, p + 6);
        r.data.assign(b.begin() + static_cast<long>(headerEnd), b.begin() + static_cast<long>(headerEnd + dataSize));
        // The file starts with an empty entry that only marks it as 32-bit.
        if (!(dataSize == 0 && r.type.isNumber && r.type.number == 0))
            all.push_back(std::move(r));
        at = align4(headerEnd + dataSize);
    }
    return all;
}

const Resource *find(const std::vector<Resource> &all, std::uint16_t type, const Id &name)
{
    for (const Resource &r : all) {
        if (!r.type.isNumber || r.type.number != type)
            continue;
        if (r.name.isNumber == name.isNumber && r.name.number == name.number && r.name.text == name.text)
            return &r;
    }
    return nullptr;
}

// ---------------------------------------------------------------- icons --

// The real size and depth of one RT_ICON image: a PNG stream or a DIB.
bool describeImage(const Bytes &img, int &width, int &height, int &bits, std::string &kind)
{
    static const std::uint8_t pngMagic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (img.size() >= 33 && std::equal(pngMagic, pngMagic + 8, img.begin())) {
        kind = "PNG";
        width = static_cast<int>(be32(img, 16));
        height = static_cast<int>(be32(img, 20));
        const int depth = img[24];
        const int colourType = img[25];
        // Colour type 6 is RGBA: 8-bit samples make 32 bits per pixel.
        bits = colourType == 6 ? depth * 4 : colourType == 2 ? depth * 3 : depth;
        return true;
    }
    if (img.size() >= 40 && u32(img, 0) == 40) {
        kind = "DIB";
        width = static_cast<int>(u32(img, 4));
        height = static_cast<int>(u32(img, 8)) / 2; // colour and mask stacked
        bits = u16(img, 14);
        return true;
    }
    return false;
}

void checkIcons(const std::vector<Resource> &all)
{
    Id name;
    name.text = "IDI_ICON1";
    const Resource *group = find(all, RT_GROUP_ICON, name);
    if (!group) {
        fail("icon group IDI_ICON1 is missing");
        return;
    }
    pass("icon group IDI_ICON1 exists");
    const Bytes &g = group->data;
    if (g.size() < 6 || u16(g, 0) != 0 || u16(g, 2) != 1) {
        fail("IDI_ICON1 is not an icon directory");
        return;
    }
    const int count = u16(g, 4);
    if (g.size() < 6 + 14 * static_cast<std::size_t>(count)) {
        fail("IDI_ICON1 directory is truncated");
        return;
    }

    const std::multiset<int> wanted = {16, 24, 32, 48, 256};
    std::multiset<int> found;
    for (int i = 0; i < count; ++i) {
        const std::size_t e = 6 + 14 * static_cast<std::size_t>(i);
        const int w = g[e] ? g[e] : 256;
        const int h = g[e + 1] ? g[e + 1] : 256;
        const int bitCount = u16(g, e + 6);
        const std::uint32_t bytes = u32(g, e + 8);
        Id iconId;
        iconId.isNumber = true;
        iconId.number = u16(g, e + 12);
        const std::string label = "image " + std::to_string(w) + "x" + std::to_string(h);

        check(w == h, label + " is square");
        check(bitCount == 32, label + ": directory says " + std::to_string(bitCount) + " bpp, 32 wanted");
        const Resource *icon = find(all, RT_ICON, iconId);
        if (!icon) {
            fail(label + ": its RT_ICON " + iconId.show() + " is missing");
            continue;
        }
        check(icon->data.size() == bytes, label + ": size in the directory matches the image data");
        int rw = 0, rh = 0, rbits = 0;
        std::string kind;
        if (!describeImage(icon->data, rw, rh, rbits, kind)) {
            fail(label + ": the image data is neither PNG nor a bitmap");
            continue;
        }
        check(rw == w && rh == h && rbits == 32,
            label + ": stored " + kind + " image is " + std::to_string(rw) + "x" + std::to_string(rh) + " at "
                + std::to_string(rbits) + " bpp");
        found.insert(w);
    }
    std::string list;
    for (int s : found)
        list += " " + std::to_string(s);
    check(found == wanted, "IDI_ICON1 holds exactly 16 24 32 48 256 (found:" + list + ")");
}

// -------------------------------------------------------------- version --

// One node of the version tree: { wLength, wValueLength, wType, szKey, value, children }.
struct Node
{
    std::string key;
    std::uint16_t valueLength = 0;
    std::uint16_t type = 0;
    Bytes value; // raw value bytes
    std::string text; // the value of a string table entry
    std::vector<Node> children;
};

// `strings` is true for the entries of a string table: their value is text
// and they have no children. Blocks carry wType 1 as well, so the type alone
// does not tell a text value from a block.
Node readNode(const Bytes &b, std::size_t at, int depth = 0, bool inStringFileInfo = false)
{
    Node n;
    const std::size_t length = u16(b, at);
    const std::size_t end = at + length;
    if (length < 6 || end > b.size())
        throw Truncated {};
    n.valueLength = u16(b, at + 2);
    n.type = u16(b, at + 4);
    std::size_t p = at + 6;
    n.key = utf16(b, p, end);
    p = align4(p);
    if (inStringFileInfo && depth == 3) {
        // wValueLength counts characters, and compilers disagree on whether
        // the NUL is one of them: read up to the NUL or the node's end.
        std::size_t q = p;
        n.text = utf16(b, q, end);
        return n;
    }
    const std::size_t valueBytes = n.type == 1 ? 2u * n.valueLength : n.valueLength;
    if (p + valueBytes > end)
        throw Truncated {};
    n.value.assign(b.begin() + static_cast<long>(p), b.begin() + static_cast<long>(p + valueBytes));
    p = align4(p + valueBytes);
    const bool childrenInStringFileInfo = inStringFileInfo || (depth == 1 && n.key == "StringFileInfo");
    while (p + 6 <= end) {
        const std::size_t childLength = u16(b, p);
        if (childLength == 0)
            break; // padding
        n.children.push_back(readNode(b, p, depth + 1, childrenInStringFileInfo));
        p = align4(p + childLength);
    }
    return n;
}

void checkVersion(const std::vector<Resource> &all)
{
    const Resource *version = nullptr;
    int versions = 0;
    for (const Resource &r : all) {
        if (r.type.isNumber && r.type.number == RT_VERSION) {
            version = &r;
            ++versions;
        }
    }
    if (!version) {
        fail("no VERSIONINFO resource");
        return;
    }
    check(versions == 1, "exactly one VERSIONINFO resource");
    check(version->name.isNumber && version->name.number == 1,
        "VERSIONINFO is resource 1 (found " + version->name.show() + ")");

    const Node root = readNode(version->data, 0);
    check(root.key == "VS_VERSION_INFO", "root key VS_VERSION_INFO");
    if (root.value.size() != 52 || u32(root.value, 0) != 0xfeef04bdu) {
        fail("fixed file information is missing or malformed");
        return;
    }
    const Bytes &f = root.value;
    check(u32(f, 8) == 0 && u32(f, 12) == 0, "FILEVERSION 0,0,0,0");
    check(u32(f, 16) == 0 && u32(f, 20) == 0, "PRODUCTVERSION 0,0,0,0");
    check(u32(f, 36) == 1, "FILETYPE is an application");

    const std::map<std::string, std::string> wanted = {
        {"Comments", ""},
        {"CompanyName", ""},
        {"FileDescription", ""},
        {"FileVersion", "0.0.0.0"},
        {"InternalName", ""},
        {"LegalCopyright", ""},
        {"LegalTrademarks", ""},
        {"OriginalFilename", "Kiverlo.exe"},
        {"ProductName", "Kiverlo"},
        {"ProductVersion", "0.0.0.0"},
    };

    int stringFileInfos = 0;
    int varFileInfos = 0;
    std::string tableKey;
    std::uint32_t translation = 0;
    int translations = 0;
    std::map<std::string, std::vector<std::string>> strings;

    for (const Node &block : root.children) {
        if (block.key == "StringFileInfo") {
            ++stringFileInfos;
            check(block.children.size() == 1, "StringFileInfo holds one string table");
            for (const Node &table : block.children) {
                tableKey = table.key;
                for (const Node &s : table.children)
                    strings[s.key].push_back(s.text);
            }
        } else if (block.key == "VarFileInfo") {
            ++varFileInfos;
            for (const Node &var : block.children) {
                if (var.key == "Translation" && var.value.size() >= 4) {
                    translation = u32(var.value, 0);
                    translations = static_cast<int>(var.value.size() / 4);
                }
            }
        } else {
            fail("unexpected block \"" + block.key + "\" in the version record");
        }
    }
    check(stringFileInfos == 1, "one StringFileInfo block");
    check(varFileInfos == 1, "one VarFileInfo block");
    check(tableKey == "040904b0", "string table 040904b0 (found \"" + tableKey + "\")");
    // The Translation pair is language then code page, 0x0409 and 1200 (0x04b0),
    // the same two numbers the string table's name spells out.
    check(translations == 1 && (translation & 0xffff) == 0x0409 && (translation >> 16) == 0x04b0,
        "VarFileInfo Translation 0x0409, 1200");

    for (const auto &[key, value] : wanted) {
        const auto it = strings.find(key);
        if (it == strings.end()) {
            fail("version field " + key + " is missing");
            continue;
        }
        check(it->second.size() == 1, "version field " + key + " appears once");
        check(it->second.front() == value,
            "version field " + key + " is \"" + it->second.front() + "\" (\"" + value + "\" wanted)");
    }
    for (const auto &entry : strings) {
        if (!wanted.count(entry.first))
            fail("unexpected version field " + entry.first);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: rc_readback <file.res>\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::printf("FAIL: cannot open %s\n", argv[1]);
        return 1;
    }
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        const std::vector<Resource> all = readRes(bytes);
        std::printf("%zu resources in %s\n", all.size(), argv[1]);
        for (const Resource &r : all)
            std::printf("  type %s name %s language 0x%04x, %zu bytes\n", r.type.show().c_str(), r.name.show().c_str(),
                r.language, r.data.size());
        checkIcons(all);
        checkVersion(all);
    } catch (const Truncated &) {
        fail("the resource file is truncated or malformed");
    }
    if (failures) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
