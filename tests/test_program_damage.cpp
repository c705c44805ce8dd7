// Damaged and hostile archives given to `x` and `l`: one line and exit code
// 1 for damage, and nothing written outside the destination.
#include <random>
#include <string>
#include <vector>

#include "tests/test_program_support.h"

using namespace program_test;

namespace {

using Bytes = std::vector<uint8_t>;

std::string text_of(size_t n, uint32_t seed)
{
    const Bytes b = test_support::text_bytes(n, seed);
    return std::string(b.begin(), b.end());
}

// Offset in the entry's chunks of the first byte of its raw stream: the
// type byte of the first record.
size_t first_raw_byte(const StoredEntry& e)
{
    size_t pos = 0;
    while (pos < e.chunks.size()) {
        const uint8_t tag = e.chunks[pos];
        if (tag == 0 || tag == 1) return pos + (tag == 1 ? 3 : 1);
        pos += tag == 2 ? 1 + 65536 : 3 + get_le(e.chunks, pos + 1, 2) + 1;
    }
    ADD_FAILURE() << "no raw stream";
    return 0;
}

class ProgramDamage : public ProgramTest {
protected:
    void SetUp() override
    {
        write("in/a.one", text_of(40000, 1));
        write("in/b.two", text_of(3000, 2));
        write("in/c.three", text_of(9000, 3));
        ASSERT_EQ(run({"a", "-m0", "../plain", "a.one", "b.two", "c.three"}, "in").code, 0);
        ASSERT_EQ(run({"a", "-m0", "-s", "../solid", "a.one", "b.two", "c.three"}, "in").code, 0);
        plain_ = test_support::read_file_bytes(at("plain"));
        solid_ = test_support::read_file_bytes(at("solid"));
        entries_ = parse_archive(plain_);
        ASSERT_EQ(entries_.size(), 3u);
        outside_ = tree_of(home());
    }

    // The archive "bad" holds bytes. `x` into out/ (and `l` when listed is
    // set) must end with exit code 1 and one damage line as the last line,
    // having written nothing outside out/. Returns the output of `x`.
    std::string expect_damaged(const Bytes& bytes, bool listed, const std::string& what)
    {
        test_support::write_file_bytes(at("bad"), bytes);
        std::string x_out;
        for (int pass = 0; pass < (listed ? 2 : 1); ++pass) {
            const Outcome r = pass == 0 ? run({"x", "bad", "out/"}) : run({"l", "bad"});
            if (pass == 0) x_out = r.out;
            EXPECT_EQ(r.code, 1) << what;
            EXPECT_EQ(r.err, "") << what;
            const std::vector<std::string> lines = lines_of(r.out);
            if (lines.empty()) {
                ADD_FAILURE() << what << ": no output";
                continue;
            }
            EXPECT_EQ(lines.back().rfind("Error: archive " + shown("bad") + " is damaged: ", 0), 0u)
                << what << (pass ? " (l)" : " (x)") << "\n" << r.out;
            EXPECT_EQ(r.out.back(), '\n');
            int errors = 0;
            for (const std::string& line : lines) errors += line.rfind("Error", 0) == 0;
            EXPECT_EQ(errors, 1) << what << "\n" << r.out;
        }
        expect_nothing_outside();
        return x_out;
    }

    void expect_nothing_outside() const
    {
        std::vector<std::string> now;
        for (const std::string& p : tree_of(home()))
            if (p.rfind("out/", 0) != 0 && p != "bad") now.push_back(p);
        std::vector<std::string> before;
        for (const std::string& p : outside_)
            if (p.rfind("out/", 0) != 0 && p != "bad") before.push_back(p);
        EXPECT_EQ(now, before);
    }

    // A copy of the plain archive with a header field of entry k rewritten.
    // Fields: 0 length, 8 solid, 9 reset, 10 name size; "dir" the dir size;
    // "piece", "offset", "block" the fields after the names.
    Bytes with_field(size_t k, const std::string& field, uint64_t value) const
    {
        Bytes b = plain_;
        const StoredEntry& e = entries_[k];
        const size_t base = e.offset;
        const size_t after_name = base + 12 + e.name.size() + 1;
        const size_t after_dir = after_name + 2 + e.dir.size() + 1;
        if (field == "length") put_le(b, base, value, 8);
        if (field == "reset") b[base + 9] = static_cast<uint8_t>(value);
        if (field == "name") put_le(b, base + 10, value, 2);
        if (field == "dir") put_le(b, after_name, value, 2);
        if (field == "piece") put_le(b, after_dir, value, 8);
        if (field == "block") put_le(b, after_dir + 16, value, 4);
        return b;
    }

    Bytes plain_, solid_;
    std::vector<StoredEntry> entries_;
    std::vector<std::string> outside_;
};

}  // namespace

TEST_F(ProgramDamage, EntryLengthsAndCutHeaders)
{
    const uint64_t size = plain_.size();
    const uint64_t lengths[] = {0, 5, size - entries_[1].offset + 1, ~uint64_t(0), uint64_t(1) << 63};
    for (uint64_t n : lengths) {
        const std::string out = expect_damaged(with_field(1, "length", n), true, "length " + std::to_string(n));
        // The entry before the damaged one is extracted whole.
        EXPECT_EQ(read("out/a.one"), read("in/a.one"));
    }

    // Cut inside the length field, inside the name, inside the fixed fields
    // after the names, and inside the chunks of the last entry.
    const StoredEntry& last = entries_[2];
    for (uint64_t cut : {last.offset + 5, last.offset + 14, last.header_size() + last.offset - 3, size - 7}) {
        const Bytes b(plain_.begin(), plain_.begin() + static_cast<long>(cut));
        expect_damaged(b, true, "cut at " + std::to_string(cut));
    }
}

TEST_F(ProgramDamage, NameAndDirectorySizes)
{
    for (const char* field : {"name", "dir"}) {
        for (uint64_t n : {0, 262, 300, 65535}) {
            expect_damaged(with_field(0, field, n), true, std::string(field) + " size " + std::to_string(n));
        }
    }
    // A name whose terminator is not where its size says.
    expect_damaged(with_field(0, "name", entries_[0].name.size()), true, "name size one short");
}

TEST_F(ProgramDamage, BlockSizeAndModelState)
{
    for (uint64_t n : {0u, 1u, 512u << 10, 3u << 20, (1u << 20) + 1, 512u << 20, 0xFFFFFFFFu}) {
        expect_damaged(with_field(0, "block", n), false, "block size " + std::to_string(n));
    }
    // An entry that continues a model that nothing prepared.
    expect_damaged(with_field(0, "reset", 0), false, "first entry without reset");
    Bytes b = solid_;
    b[9] = 0;
    expect_damaged(b, false, "solid run without its start");
    // A later entry of a solid run of another block size.
    auto solid_entries = parse_archive(solid_);
    solid_entries[1].block_size = 2u << 20;
    expect_damaged(build_archive(solid_entries), false, "solid run changes its block size");
}

TEST_F(ProgramDamage, RecordsAndPieceLengths)
{
    // Record types 5 and above.
    for (uint8_t type : {5, 6, 0x80, 0xFF}) {
        auto e = entries_;
        e[0].chunks[first_raw_byte(e[0])] = type;
        expect_damaged(build_archive(e), false, "record type " + std::to_string(type));
    }
    // The record length (big-endian, after the type) longer or shorter than
    // the block it should fill.
    for (int64_t delta : {1, -1, -20000, 1 << 20}) {
        auto e = entries_;
        const size_t at = first_raw_byte(e[0]) + 1;
        uint32_t n = 0;
        for (int i = 0; i < 4; ++i) n = (n << 8) | e[0].chunks[at + i];
        EXPECT_EQ(n, 40000u);
        n = static_cast<uint32_t>(n + delta);
        for (int i = 0; i < 4; ++i) e[0].chunks[at + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
        expect_damaged(build_archive(e), false, "record length " + std::to_string(n));
    }
    // More bytes than the entry's streams hold.
    for (uint64_t n : {40001u, 80000u, 3000000u}) expect_damaged(with_field(0, "piece", n), false, "piece length");

    // A negative piece length keeps its own message on standard error.
    test_support::write_file_bytes(at("bad"), with_field(1, "piece", ~uint64_t(0)));
    const Outcome r = run({"x", "bad", "out/"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "size error\n");
    EXPECT_EQ(r.out.find("Error"), std::string::npos) << r.out;
}

TEST_F(ProgramDamage, ChangedBytesNeverCrashOrWriteOutside)
{
    std::mt19937 rng(12345);
    const std::vector<StoredEntry> solid_entries = parse_archive(solid_);
    int damaged = 0, decoded = 0;
    for (int round = 0; round < 120; ++round) {
        Bytes b = round % 2 ? solid_ : plain_;
        const std::vector<StoredEntry>& entries = round % 2 ? solid_entries : entries_;
        const int changes = 1 + static_cast<int>(rng() % 3);
        for (int c = 0; c < changes; ++c) {
            // Headers are small: aim a third of the changes at the first 64
            // bytes of an entry.
            const StoredEntry& e = entries[rng() % 3];
            const size_t at = rng() % 3 == 0 ? (e.offset + rng() % 64) % b.size() : rng() % b.size();
            b[at] = static_cast<uint8_t>(rng());
        }
        if (rng() % 8 == 0) b.resize(rng() % b.size());
        test_support::write_file_bytes(at("bad"), b);
        const Outcome r = run({"x", "bad", "out/"});
        ASSERT_EQ(r.code, 1) << "round " << round << "\n" << r.out << r.err;
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_FALSE(lines.empty());
        if (lines.back() == " OK! ") {
            ++decoded;
        } else if (r.err == "size error\n") {
            ++damaged;
        } else {
            EXPECT_EQ(lines.back().rfind("Error: archive " + shown("bad") + " is damaged: ", 0), 0u)
                << "round " << round << "\n" << r.out;
            ++damaged;
        }
        const Outcome l = run({"l", "bad"});
        ASSERT_EQ(l.code, 1) << "round " << round << "\n" << l.out;
    }
    EXPECT_GT(damaged, 60);
    expect_nothing_outside();
}

// ----------------------------------------------------------------------------
// Hostile names, written by hand around real chunks.

TEST_F(ProgramDamage, NamesThatLeaveTheDestinationAreRefused)
{
    const struct {
        const char* dir;
        const char* name;
    } hostile[] = {
        {"../", "evil.txt"},    {"a/../../", "evil.txt"}, {"..\\", "evil.txt"}, {"x/..\\..\\", "evil.txt"},
        {"", ".."},             {"", "../evil.txt"},      {"", "..\\evil.txt"}, {"", "."},
        {"", ""},               {"..", "evil.txt"},       {"sub/../", "evil.txt"},
    };
    make_dirs(at("out/inner"));
    for (const auto& h : hostile) {
        const std::string what = std::string(h.dir) + "|" + h.name;
        auto e = entries_;
        e[0].dir = h.dir;
        e[0].name = h.name;
        test_support::write_file_bytes(at("hostile"), build_archive(e));
        // Destination one level down, so that one ".." would still land
        // inside out/.
        const Outcome r = run({"x", "hostile", "out/inner/"});
        EXPECT_EQ(r.code, 1) << what;
        const std::vector<std::string> lines = lines_of(r.out);
        int errors = 0;
        for (const std::string& line : lines) errors += line.rfind("Error", 0) == 0;
        EXPECT_EQ(errors, 1) << what << "\n" << r.out;
        EXPECT_EQ(lines.back(), " OK! ") << what;
        // The entries after it are extracted; nothing escapes.
        EXPECT_EQ(read("out/inner/b.two"), read("in/b.two")) << what;
        EXPECT_EQ(read("out/inner/c.three"), read("in/c.three")) << what;
        EXPECT_FALSE(path_exists(at("out/evil.txt"))) << what;
        EXPECT_FALSE(path_exists(at("evil.txt"))) << what;
        EXPECT_FALSE(path_exists(at("out/inner/evil.txt"))) << what;
        EXPECT_EQ(tree_of(at("out")), (std::vector<std::string>{"inner/", "inner/b.two", "inner/c.three"})) << what;
    }
    const std::vector<std::string> expected_outside = [&] {
        std::vector<std::string> v = outside_;
        for (const char* p : {"hostile", "out/", "out/inner/", "out/inner/b.two", "out/inner/c.three"})
            v.push_back(p);
        std::sort(v.begin(), v.end());
        return v;
    }();
    EXPECT_EQ(tree_of(home()), expected_outside);
}

TEST_F(ProgramDamage, RefusedSolidEntryIsStillDecoded)
{
    auto e = parse_archive(solid_);
    ASSERT_EQ(e.size(), 3u);
    e[0].dir = "../../";
    test_support::write_file_bytes(at("hostile"), build_archive(e));
    const Outcome r = run({"x", "hostile", "out/"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(tree_of(at("out")), (std::vector<std::string>{"b.two", "c.three"}));
    EXPECT_EQ(read("out/b.two"), read("in/b.two"));
    EXPECT_EQ(read("out/c.three"), read("in/c.three"));
    EXPECT_EQ(tree_of(home()).size(), outside_.size() + 4);  // hostile, out/ and its two files
}

TEST_F(ProgramDamage, AbsoluteDirectoriesStayInside)
{
    auto e = entries_;
    e[0].dir = "/abs/olute/";
    e[1].dir = "//double//";
    test_support::write_file_bytes(at("hostile"), build_archive(e));
    const Outcome r = run({"x", "hostile", "out/"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out.find("Error"), std::string::npos) << r.out;
    EXPECT_EQ(read("out/abs/olute/a.one"), read("in/a.one"));
    EXPECT_EQ(read("out/double/c.three"), read("in/c.three"));
}

TEST_F(ProgramDamage, ListingShowsControlBytesAsQuestionMarks)
{
    auto e = entries_;
    e[0].dir = "d\x01/";
    e[0].name = "a\x1b[2Jb\x07\x7f.txt";
    e[1].name = "caf\xc3\xa9.two";
    test_support::write_file_bytes(at("odd"), build_archive(e));
    EXPECT_EQ(listing("odd"), (std::vector<std::string>{"d?/a?[2Jb??.txt", "caf\xc3\xa9.two", "b.two"}));
}
