#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "engine/lzp.h"
#include "engine/varint.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int32_t MIB = 1 << 20;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

Bytes varint(uint32_t v)
{
    uint8_t buf[VARINT_MAX_BYTES];
    uint32_t len = 0;
    put_varint(buf, &len, v);
    return Bytes(buf, buf + len);
}

// Random bytes below 200, so that 255 never occurs and is always the escape.
Bytes low_bytes(size_t n, uint32_t seed)
{
    Bytes out = random_bytes(n, seed);
    for (auto& b : out) b %= 200;
    return out;
}

Bytes encode(const Bytes& in) { return Bytes(work_buffer, work_buffer + lzp_encode(in.data(), uint32_t(in.size()))); }

Bytes decode(const Bytes& coded, size_t n)
{
    if (!coded.empty()) std::memcpy(work_buffer, coded.data(), coded.size());
    Bytes out(n);
    lzp_decode(out.data(), static_cast<uint32_t>(n), static_cast<uint32_t>(coded.size()));
    return out;
}

// Encodes the inputs one after the other, resets, decodes them in the same
// order (each decode depends on the history the earlier ones left), and
// checks the bytes, the size bound n + n / 256 + 1 and that both sides end
// with the same table.
void round_trip_sequence(const std::vector<Bytes>& inputs)
{
    allocate_work_memory(MIB);
    std::vector<Bytes> coded;
    for (const Bytes& in : inputs) {
        coded.push_back(encode(in));
        EXPECT_LE(coded.back().size(), in.size() + in.size() / 256 + 1) << "input " << coded.size() - 1;
    }
    const std::vector<uint32_t> table(lzp_table, lzp_table + lzp_table_mask + 1);
    allocate_work_memory(MIB);
    for (size_t k = 0; k < inputs.size(); ++k) ASSERT_TRUE(decode(coded[k], inputs[k].size()) == inputs[k]) << k;
    EXPECT_TRUE(std::equal(table.begin(), table.end(), lzp_table));
}

// Table slot of the position that follows the seven context bytes c.
uint32_t slot_after(const Bytes& c)
{
    const uint32_t x = c[0] | c[1] << 8 | c[2] << 16 | uint32_t(c[3]) << 24;
    return ((x * 16777619u) ^ (c[6] * 65536u + c[5] * 256u + c[4])) & lzp_table_mask;
}

// Codes call against a history set by hand (bytes in the ring, table slots
// set, lzp_pos 93); checks the start of the output and the decoding.
void expect_coded(const char* what, const std::vector<std::pair<uint32_t, Bytes>>& ring,
                  const std::vector<std::pair<Bytes, uint32_t>>& slots, const Bytes& call, const Bytes& expect)
{
    Bytes out;
    for (int side = 0; side < 2; ++side) {
        allocate_work_memory(MIB);
        for (const auto& [at, bytes] : ring) std::memcpy(lzp_ring + at, bytes.data(), bytes.size());
        for (const auto& [context, at] : slots) lzp_table[slot_after(context)] = at;
        lzp_pos = 93;
        lzp_appended = uint64_t(lzp_ring_mask) + 1;  // the next reset clears all of it
        if (side == 0) out = encode(call);
    }
    EXPECT_EQ(slice(out, 0, std::min(out.size(), expect.size())), expect) << what;
    EXPECT_TRUE(decode(out, call.size()) == call) << what;
}

}  // namespace

TEST(LzpVarint, FormsAtEveryLengthBoundary)
{
    // The first and last value of every length, written and read from 3 on.
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 1},       {127, 1},     {128, 2},       {16511, 2},
                                                   {16512, 3},   {2113663, 3}, {2113664, 4},   {270549119, 4},
                                                   {270549120, 5}, {UINT32_MAX, 5}};
    for (auto [value, bytes] : cases) {
        uint8_t buf[16] = {};
        uint32_t len = 3, pos = 3, bounded = 3, v = 0;
        put_varint(buf, &len, value);
        EXPECT_EQ(len, 3 + bytes) << value;
        EXPECT_TRUE(get_varint(buf, &pos) == value && pos == len) << value;
        EXPECT_FALSE(get_varint_bounded(buf, &bounded, len - 1, &v)) << value;  // cut short
        EXPECT_TRUE(get_varint_bounded(buf, &bounded, len, &v) && v == value && bounded == len) << value;
    }
    EXPECT_EQ(varint(128), (Bytes{0x80, 0x00}));
    EXPECT_EQ(varint(128 + 128 * 128), (Bytes{0x80, 0x80, 0x00}));
}

TEST(Lzp, EscapeChoiceHeadAndSizeBound)
{
    allocate_work_memory(MIB);
    EXPECT_EQ(encode({}), Bytes{0xFF});
    EXPECT_TRUE(decode({0xFF}, 0).empty());
    // The escape is the least frequent value, the highest on a tie; the head
    // goes out unchanged, also where it holds the escape.
    const std::pair<Bytes, uint8_t> cases[] = {{{0x00}, 0xFF}, {{0xFF}, 0xFE}, {{0xFF, 0xFE, 0x00}, 0xFD},
                                               {{1, 2, 3, 4, 5, 6, 0xFF}, 0xFE}, {Bytes(7, 7), 0xFF}};
    for (const auto& [in, escape] : cases) EXPECT_EQ(encode(in), concat({{escape}, in}));
    EXPECT_EQ(lzp_pos, 19u);
    // 64 shuffled copies of every value, no 0xFF in the head: the escape is
    // 0xFF, every later 0xFF costs two bytes, no repeat is long enough to
    // match, and the output is exactly n + n / 256 + 1 bytes.
    Bytes in, expect = {0xFF};
    for (int k = 0; k < 64 * 256; ++k) in.push_back(static_cast<uint8_t>(k));
    std::shuffle(in.begin(), in.end(), std::mt19937(7));
    std::stable_partition(in.begin(), in.begin() + 8, [](uint8_t b) { return b != 0xFF; });
    for (size_t i = 0; i < in.size(); ++i) {
        expect.push_back(in[i]);
        if (i >= 7 && in[i] == 0xFF) expect.push_back(0x00);
    }
    EXPECT_TRUE(encode(in) == expect);
    EXPECT_EQ(expect.size(), in.size() + in.size() / 256 + 1);
    round_trip_sequence({in, in, in});
}

// Exact coded forms against histories set by hand. In each the head takes
// ring positions 93..99 and the first token 100.
TEST(Lzp, CodedFormsAgainstAGivenHistory)
{
    allocate_work_memory(MIB);
    const Bytes c = low_bytes(7, 1), s = low_bytes(200, 2), cs = concat({c, s}), a7(7, 'a');
    // s[from..to) and a byte other than s[to]; c[5..7) s[0..5), the context five bytes into s.
    auto upto = [&](size_t from, size_t to) { return concat({slice(s, from, to), {uint8_t(s[to] + 1)}}); };
    const Bytes probe5 = concat({slice(c, 5, 7), slice(s, 0, 5)});
    for (auto [len, token] : {std::pair<size_t, Bytes>{31, {}}, {32, {0xFF, 0x01}}, {158, {0xFF, 0x7F}},
                              {159, {0xFF, 0x80, 0x00}}})
        expect_coded("repeat", {{200, upto(0, len)}}, {{c, 200}}, cs,
                     concat({{0xFF}, c, token.empty() ? slice(s, 0, len) : token, slice(s, len, len + 20)}));
    // A 40-byte match, and 31 bytes on (the last probe) one of m bytes: that
    // one wins only when longer than 40 + 31 + 7 bytes.
    for (size_t m : {78, 79})
        expect_coded("later match", {{200, upto(0, 40)}, {400, upto(31, 31 + m)}}, {{c, 200}, {slice(s, 24, 31), 400}},
                     cs, m == 78 ? concat({{0xFF}, c, {0xFF, 9}}) : concat({{0xFF}, c, slice(s, 0, 31), {0xFF, 48}}));
    // A candidate at the position about to be written is none, in the match
    // test and in the lazy probe (where old bytes would match 60 bytes).
    for (uint32_t at : {100u, 101u})
        expect_coded("candidate", {{at, upto(0, 40)}}, {{c, at}}, cs,
                     concat({{0xFF}, c, at == 100 ? slice(s, 0, 40) : Bytes{0xFF, 9}}));
    for (uint32_t at : {105u, 106u})
        expect_coded("probe", {{200, slice(s, 0, 40)}, {240, {250}}, {at, slice(s, 5, 65)}}, {{c, 200}, {probe5, at}},
                     cs, concat({{0xFF}, c, at == 105 ? Bytes{0xFF, 9} : Bytes{s[0]}}));
    // The match reads the ring bytes it overwrites as they were.
    expect_coded("overwritten", {{80, s}}, {{c, 80}}, concat({c, slice(s, 0, 13), c, slice(s, 20, 64)}),
                 concat({{0xFF}, c, {0xFF, 64 - 31}}));
    // In a run of 'a' the probe one on finds the slot just set to 100, and
    // there the 'a' just stored over an older 250: with the old bytes after
    // it, it matches 60 bytes and wins.
    const Bytes t = concat({{'a'}, slice(s, 0, 59)});
    expect_coded("probe at the match start", {{200, concat({{'a'}, slice(t, 0, 39)})}, {240, {250}}, {100, {250}},
                 {101, slice(t, 1, 60)}}, {{a7, 200}}, concat({a7, {'a'}, t}), concat({{0xFF}, a7, {'a'}}));
    // The match runs 40 bytes from 60 and ends at 100, over an older 250; the
    // probe along the same stretch (61) meets the stored first byte there,
    // matches 70 bytes and wins.
    expect_coded("probe along the stretch", {{60, slice(s, 0, 33)}, {100, {250}}, {101, slice(s, 33, 63)}},
                 {{c, 60}, {concat({slice(c, 1, 7), {s[0]}}), 61}}, concat({c, slice(s, 0, 33), c, slice(s, 0, 1),
                 slice(s, 33, 63)}), concat({{0xFF}, c, {s[0]}}));
    // s[0..40) lies before the ring's last position, s[40] on it, s[41..] at
    // the ring's start: the match stops, s[40] is a literal, the rest matches.
    const uint32_t end = lzp_ring_mask;
    expect_coded("ring end", {{end - 40, slice(s, 0, 41)}, {0, upto(41, 100)}},
                 {{c, end - 40}, {slice(s, 33, 40), end}, {slice(s, 34, 41), 0}}, concat({c, slice(s, 0, 100)}),
                 concat({{0xFF}, c, {0xFF, 9, s[40], 0xFF, 28}}));
}

TEST(Lzp, HistoryReachesBackOneRingAndForgetsOnReset)
{
    allocate_work_memory(MIB);
    const Bytes x = low_bytes(1000, 31), fresh = encode(x);
    EXPECT_EQ(fresh.size(), 1001u);
    // Almost a whole ring later, x still matches entirely after its head.
    // (The gap is zeros: one long match per call, so x's table entries stay.)
    const uint32_t gap = lzp_ring_mask + 1 - 2000;
    for (uint32_t done = 0; done < gap; done += MIB) encode(Bytes(std::min<uint32_t>(MIB, gap - done), 0));
    EXPECT_EQ(encode(x), concat({{0xFF}, slice(x, 0, 7), {0xFF}, varint(1000 - 7 - 31)}));
    // After another whole ring its bytes are overwritten, and after a reset
    // the coding starts from nothing again.
    for (uint32_t done = 0; done <= lzp_ring_mask; done += MIB) encode(low_bytes(MIB, 500 + done));
    EXPECT_EQ(encode(x), fresh);
    allocate_work_memory(MIB);
    EXPECT_EQ(encode(x), fresh);
}

TEST(LzpRoundTrip, HistoryCarriesAcrossCallsAndRingWraps)
{
    // Small and boundary sizes, then about 7 MiB through a 4 MiB ring, with runs
    // (matches that overlap their own output) and repeats of earlier inputs.
    std::vector<Bytes> seq;
    for (uint32_t n : {0, 1, 6, 7, 8, 31, 32, 39, 40, 257, 4096})
        for (const Bytes& b : {random_bytes(n, n), Bytes(n, 0xFF), text_bytes(n, n)}) seq.push_back(b);
    for (uint32_t k = 0; k < 2; ++k)
        for (const Bytes& b : {text_bytes(MIB, 1), random_bytes(MIB - k, 3 + k), Bytes(5000, 0),
                               concat({text_bytes(300000, 2), Bytes(70000, 'x'), text_bytes(300000, 2)}),
                               text_bytes(777777, 5)})
            seq.push_back(b);
    round_trip_sequence(seq);
}

TEST(LzpDeathTest, DamagedDataIsReported)
{
    allocate_work_memory(MIB);
    const uint32_t end = lzp_ring_mask;  // the same in every reset below
    const Bytes head = {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g'}, match = concat({head, {0xFF, 0x01}});
    auto decode_raw = [](const Bytes& data, uint32_t n, uint32_t cand) {  // every table slot cand
        allocate_work_memory(MIB);
        std::fill(lzp_table, lzp_table + lzp_table_mask + 1, cand);
        lzp_appended = uint64_t(lzp_ring_mask) + 1;  // the next reset clears the table
        decode(data, n);
    };
    // Sound: a 36-byte match from 0, an escaped literal, a match ending before the ring's last position.
    decode_raw(concat({head, {0xFF, 0x05}}), 43, 0);
    decode_raw(concat({head, {'h', 0xFF, 0x00}}), 9, 0);
    decode_raw(match, 39, end - 32);
    struct Case { Bytes data; uint32_t n, cand; };
    const Case damaged[] = {
        // A match passing the record's end, also by 2^32 - 1 + 31.
        {concat({head, {0xFF, 0x05}}), 42, 0}, {concat({head, {0xFF}, varint(UINT32_MAX)}), 1000, 0},
        // Length codes running into the end, of six bytes, above 2^32 - 1.
        {concat({head, {0xFF, 0x80, 0x80}}), 1000, 0},
        {concat({head, {0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 'x'}}), 1000, 0},
        {concat({head, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}}), 1000, 0},
        // Data that ends before the record, or runs on after it.
        {{}, 0, 0}, {{}, 5, 0}, {{0xFF, 'a', 'b'}, 5, 0}, {concat({head, {'h', 'i'}}), 10, 0},
        {concat({head, {'h', 0xFF}}), 10, 0}, {{0xFF, 0x00}, 0, 0}, {concat({head, {'h'}}), 7, 0},
        {concat({head, {0xFF, 0x05, 'x'}}), 43, 0},
        // Matches reaching the ring's last position, or from the position being written.
        {match, 39, end - 31}, {match, 39, end}, {match, 39, 7},
    };
    for (const Case& c : damaged) EXPECT_DAMAGED(decode_raw(c.data, c.n, c.cand)) << c.data.size() << " " << c.n;
    EXPECT_DAMAGED(lzp_decode(block_buffer, 10, work_capacity + 1));
    // An input whose output could overrun the work buffer is refused.
    EXPECT_THROW(lzp_encode(block_buffer, work_capacity), Failure);
}
