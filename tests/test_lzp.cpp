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

// Random bytes below 200, so that 255 never occurs and is always the escape.
Bytes low_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng() % 200);
    return out;
}

// Copies of earlier stretches (overlapping ones too), runs and noise.
Bytes repetitive_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(n);
    while (out.size() < n) {
        const uint32_t kind = rng() % 4;
        const size_t len = 1 + rng() % (kind == 0 ? 40 : 3000);
        if (kind == 0 || out.empty()) {
            for (size_t k = 0; k < len; ++k) out.push_back(static_cast<uint8_t>(rng()));
        } else if (kind == 1) {
            out.insert(out.end(), len, static_cast<uint8_t>(rng()));
        } else {
            const size_t from = rng() % out.size();
            for (size_t k = 0; k < len; ++k) out.push_back(out[from + k]);
        }
    }
    out.resize(n);
    return out;
}

Bytes encode(const Bytes& in)
{
    const uint32_t len = lzp_encode(in.data(), static_cast<uint32_t>(in.size()));
    return Bytes(work_buffer, work_buffer + len);
}

Bytes decode(const Bytes& coded, size_t n)
{
    if (!coded.empty()) std::memcpy(work_buffer, coded.data(), coded.size());
    Bytes out(n);
    lzp_decode(out.data(), static_cast<uint32_t>(n), static_cast<uint32_t>(coded.size()));
    return out;
}

uint64_t output_bound(size_t n) { return n + n / 256 + 1; }

// Encodes the inputs one after the other, resets, decodes them in the same
// order, and checks the bytes, the size bound and that both sides end with
// the same ring, table and position.
void round_trip_sequence(const std::vector<Bytes>& inputs, int32_t block)
{
    allocate_work_memory(block);
    std::vector<Bytes> coded;
    for (const Bytes& in : inputs) {
        coded.push_back(encode(in));
        EXPECT_LE(coded.back().size(), output_bound(in.size())) << "input " << coded.size() - 1;
    }
    const Bytes ring(lzp_ring, lzp_ring + size_t(lzp_ring_mask) + 1);
    const std::vector<uint32_t> table(lzp_table, lzp_table + size_t(lzp_table_mask) + 1);
    const uint32_t pos = lzp_pos;

    allocate_work_memory(block);
    for (size_t k = 0; k < inputs.size(); ++k)
        ASSERT_TRUE(decode(coded[k], inputs[k].size()) == inputs[k]) << "input " << k;
    EXPECT_EQ(lzp_pos, pos);
    EXPECT_TRUE(std::memcmp(lzp_ring, ring.data(), ring.size()) == 0);
    EXPECT_TRUE(std::memcmp(lzp_table, table.data(), table.size() * 4) == 0);
}

class Lzp : public ::testing::Test {
protected:
    void SetUp() override { allocate_work_memory(MIB); }
};

}  // namespace

// ---- varints ----

TEST(LzpVarint, FormsAtEveryLengthBoundary)
{
    struct Case {
        uint32_t value;
        uint32_t bytes;
    };
    // The first and last value of every length.
    const Case cases[] = {{0, 1},       {127, 1},       {128, 2},         {16511, 2},       {16512, 3},
                          {2113663, 3}, {2113664, 4},   {270549119, 4},   {270549120, 5},   {UINT32_MAX, 5}};
    for (const Case& c : cases) {
        uint8_t buf[16] = {};
        uint32_t len = 3;  // writing starts at *len
        put_varint(buf, &len, c.value);
        EXPECT_EQ(len, 3 + c.bytes) << c.value;
        uint32_t pos = 3;
        EXPECT_EQ(get_varint(buf, &pos), c.value);
        EXPECT_EQ(pos, len);
        pos = 3;
        uint32_t v = 0;
        ASSERT_TRUE(get_varint_bounded(buf, &pos, len, &v)) << c.value;
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(pos, len);
    }
    uint8_t buf[8];
    uint32_t len = 0;
    put_varint(buf, &len, 128);
    EXPECT_EQ(Bytes(buf, buf + len), (Bytes{0x80, 0x00}));
    len = 0;
    put_varint(buf, &len, 128 + 128 * 128);
    EXPECT_EQ(Bytes(buf, buf + len), (Bytes{0x80, 0x80, 0x00}));
}

TEST(LzpVarint, EveryTwoByteFormIsItsOwnValue)
{
    std::vector<int> seen(16512, 0);
    for (uint32_t b0 = 128; b0 < 256; ++b0)
        for (uint32_t b1 = 0; b1 < 128; ++b1) {
            const uint8_t buf[2] = {uint8_t(b0), uint8_t(b1)};
            uint32_t pos = 0;
            const uint32_t v = get_varint(buf, &pos);
            ASSERT_TRUE(v >= 128 && v < 16512) << v;
            ++seen[v];
        }
    EXPECT_EQ(std::count(seen.begin() + 128, seen.end(), 1), 16512 - 128);
}

TEST(LzpVarint, BoundedReaderRefusesBadForms)
{
    const Bytes unfinished = {0x80, 0xFF};
    const Bytes six_bytes = {0x80, 0x80, 0x80, 0x80, 0x80, 0x00};
    const Bytes too_large = {0xFF, 0xFF, 0xFF, 0xFF, 0x0F};  // 2^32 + 270549119
    for (const Bytes& b : {unfinished, six_bytes, too_large}) {
        uint32_t pos = 0;
        uint32_t v = 12345;
        EXPECT_FALSE(get_varint_bounded(b.data(), &pos, static_cast<uint32_t>(b.size()), &v));
        EXPECT_EQ(pos, 0u);
        EXPECT_EQ(v, 12345u);
    }
    // A complete form that the end cuts off.
    const Bytes three = {0x80, 0x80, 0x00};
    uint32_t pos = 0;
    uint32_t v = 0;
    EXPECT_FALSE(get_varint_bounded(three.data(), &pos, 2, &v));
    EXPECT_TRUE(get_varint_bounded(three.data(), &pos, 3, &v));
    EXPECT_EQ(v, 16512u);
}

TEST(LzpVarintDeathTest, UnboundedReaderReportsAFormThatDoesNotEnd)
{
    const Bytes six_bytes = {0x80, 0x80, 0x80, 0x80, 0x80, 0x00};
    uint32_t pos = 0;
    EXPECT_DAMAGED(get_varint(six_bytes.data(), &pos));
}

// ---- coded form ----

TEST_F(Lzp, EmptyInputIsTheEscapeByteAlone)
{
    EXPECT_EQ(encode({}), Bytes{0xFF});
    EXPECT_EQ(lzp_pos, 0u);
    EXPECT_TRUE(decode({0xFF}, 0).empty());
    EXPECT_EQ(lzp_pos, 0u);
}

TEST_F(Lzp, InputsUpToSevenBytesGoOutUnchanged)
{
    // The escape is the highest value that does not occur.
    const Bytes inputs[] = {{0x00}, {0xFF}, {0xFF, 0xFE, 0x00}, {1, 2, 3, 4, 5, 6, 0xFF}, {7, 7, 7, 7, 7, 7, 7}};
    const uint8_t escapes[] = {0xFF, 0xFE, 0xFD, 0xFE, 0xFF};
    uint32_t pos = 0;
    for (size_t k = 0; k < 5; ++k) {
        Bytes expect = concat({{escapes[k]}, inputs[k]});
        EXPECT_EQ(encode(inputs[k]), expect);
        pos += static_cast<uint32_t>(inputs[k].size());
        EXPECT_EQ(lzp_pos, pos);
    }
    std::vector<Bytes> seq(std::begin(inputs), std::end(inputs));
    round_trip_sequence(seq, MIB);
}

TEST_F(Lzp, EvenByteCountsEscapeFFAndReachTheSizeBound)
{
    // 64 shuffled copies of every value, none of them 0xFF in the head: the
    // escape is 0xFF, every 0xFF costs two bytes, no repeat is long enough
    // to match, and the output is exactly n + n / 256 + 1 bytes.
    Bytes in;
    for (int copy = 0; copy < 64; ++copy)
        for (int v = 0; v < 256; ++v) in.push_back(static_cast<uint8_t>(v));
    std::shuffle(in.begin(), in.end(), std::mt19937(7));
    std::stable_partition(in.begin(), in.begin() + 8, [](uint8_t b) { return b != 0xFF; });
    ASSERT_NE(in[6], 0xFF);

    Bytes expect = {0xFF};
    for (size_t i = 0; i < in.size(); ++i) {
        expect.push_back(in[i]);
        if (i >= 7 && in[i] == 0xFF) expect.push_back(0x00);
    }
    const Bytes out = encode(in);
    EXPECT_TRUE(out == expect);
    EXPECT_EQ(out.size(), output_bound(in.size()));
    round_trip_sequence({in, in, in}, MIB);
}

namespace {

// History: noise, context C, the repeat X, a byte z that ends it, noise.
// Then a new call C + X + tail: after the head C the repeat is found.
struct RepeatCase {
    Bytes history, call;
};

RepeatCase repeat_of(size_t len)
{
    const Bytes noise1 = low_bytes(300, 1), noise2 = low_bytes(300, 5);
    const Bytes c = low_bytes(7, 2), x = low_bytes(len, 3), tail = low_bytes(50, 4);
    const uint8_t z = static_cast<uint8_t>((tail[0] + 1) % 200);
    return {concat({noise1, c, x, {z}, noise2}), concat({c, x, tail})};
}

}  // namespace

TEST_F(Lzp, RepeatsOf32AndMoreAreMatchesAndShorterOnesLiterals)
{
    struct Case {
        size_t len;
        Bytes token;
    };
    const Case cases[] = {{31, {}},                  // stays literal
                          {32, {0xFF, 0x01}},        // the shortest match
                          {158, {0xFF, 0x7F}},       // the longest one-byte length
                          {159, {0xFF, 0x80, 0x00}}};
    for (const Case& c : cases) {
        allocate_work_memory(MIB);
        const RepeatCase r = repeat_of(c.len);
        encode(r.history);
        const Bytes out = encode(r.call);
        const Bytes expect = c.token.empty()
                                 ? concat({{0xFF}, r.call})
                                 : concat({{0xFF}, slice(r.call, 0, 7), c.token, slice(r.call, 7 + c.len, r.call.size())});
        EXPECT_EQ(out, expect) << "repeat of " << c.len;
        round_trip_sequence({r.history, r.call}, MIB);
    }
}

TEST_F(Lzp, LaterMatchMustBeatTheFirstByMoreThanDistancePlusSeven)
{
    // At i a match of 40 bytes (history A); at i + 5 one of 40 + 5 + 7 bytes
    // or one more (history B, written later so that its table entry wins).
    const size_t L = 40, d = 5;
    for (size_t m : {L + d + 7, L + d + 8}) {
        allocate_work_memory(MIB);
        const Bytes c = low_bytes(7, 11), s = low_bytes(200, 12);
        const Bytes noise1 = low_bytes(100, 13), noise2 = low_bytes(100, 14), noise3 = low_bytes(100, 15);
        const uint8_t z = static_cast<uint8_t>((s[L] + 1) % 200), w = static_cast<uint8_t>((s[d + m] + 1) % 200);
        const Bytes a = concat({c, slice(s, 0, L), {z}});
        const Bytes b = concat({slice(c, 5, 7), slice(s, 0, d + m), {w}});
        const Bytes history = concat({noise1, a, noise2, b, noise3});
        const Bytes call = concat({c, s});
        encode(history);
        const Bytes out = encode(call);
        const Bytes expect = m == L + d + 7
                                 ? concat({{0xFF}, c, {0xFF, uint8_t(L - 31)}})
                                 : concat({{0xFF}, c, slice(s, 0, d), {0xFF, uint8_t(m - 31)}});
        ASSERT_GE(out.size(), expect.size());
        EXPECT_EQ(slice(out, 0, expect.size()), expect) << "later match of " << m;
        round_trip_sequence({history, call}, MIB);
    }
}

TEST_F(Lzp, MatchesStopBeforeTheRingsLastPosition)
{
    // Fill the ring so that P[0] lands 40 before its last position and P[40]
    // on it; P[41..] wraps to the ring's start.
    std::vector<Bytes> seq;
    const uint32_t ring_size = lzp_ring_mask + 1;
    const uint32_t fill = ring_size - 48;
    for (uint32_t done = 0, k = 0; done < fill; ++k) {
        const uint32_t part = std::min<uint32_t>(MIB, fill - done);
        seq.push_back(low_bytes(part, 100 + k));
        done += part;
    }
    const Bytes c = low_bytes(7, 21), p = low_bytes(100, 22);
    seq.push_back(concat({c, p}));
    seq.push_back(concat({c, p}));
    Bytes last;
    for (const Bytes& in : seq) last = encode(in);
    // The repeat of P stops after 40 bytes; P[40] sits on the last position
    // and cannot match; P[41..99] matches again from the ring's start.
    EXPECT_EQ(last, concat({{0xFF}, c, {0xFF, 9, p[40], 0xFF, 28}}));
    round_trip_sequence(seq, MIB);
}

TEST_F(Lzp, HistoryReachesBackOneRingAndForgetsOnReset)
{
    const Bytes x = low_bytes(1000, 31);
    const Bytes fresh = encode(x);
    EXPECT_GT(fresh.size(), 1000u);
    // Almost a whole ring later, x still matches entirely after its head.
    // (The gap is zeros: one long match per call, so x's table entries stay.)
    const uint32_t gap = lzp_ring_mask + 1 - 2000;
    for (uint32_t done = 0; done < gap; done += MIB) encode(Bytes(std::min<uint32_t>(MIB, gap - done), 0));
    uint8_t len[8];
    uint32_t len_size = 0;
    put_varint(len, &len_size, 1000 - 7 - 31);
    EXPECT_EQ(encode(x), concat({{0xFF}, slice(x, 0, 7), {0xFF}, Bytes(len, len + len_size)}));
    // After another whole ring its bytes are overwritten.
    for (uint32_t done = 0; done <= lzp_ring_mask; done += MIB) encode(low_bytes(MIB, 500 + done));
    EXPECT_EQ(encode(x), fresh);
    // After a reset the coding starts from nothing again.
    allocate_work_memory(MIB);
    EXPECT_EQ(encode(x), fresh);
}

namespace {

// Table slot of the position that follows the seven context bytes c.
uint32_t slot_after(const Bytes& c)
{
    const uint32_t x = c[0] | c[1] << 8 | c[2] << 16 | uint32_t(c[3]) << 24;
    const uint32_t y = c[6] * 65536u + c[5] * 256u + c[4];
    return ((x * 16777619u) ^ y) & lzp_table_mask;
}

// A history set by hand, the same for the encoder and the decoder: bytes
// placed in the ring, table slots pointed at ring positions, and lzp_pos.
struct HandHistory {
    std::vector<std::pair<uint32_t, Bytes>> ring_bytes;
    std::vector<std::pair<Bytes, uint32_t>> slots;
    uint32_t pos;

    void apply() const
    {
        allocate_work_memory(MIB);
        for (const auto& r : ring_bytes) std::memcpy(lzp_ring + r.first, r.second.data(), r.second.size());
        for (const auto& s : slots) lzp_table[slot_after(s.first)] = s.second;
        lzp_pos = pos;
    }
    // Encodes call from this history, checks that it decodes from the same
    // history, and returns the coded bytes.
    Bytes code(const Bytes& call) const
    {
        apply();
        const Bytes out = encode(call);
        apply();
        EXPECT_TRUE(decode(out, call.size()) == call);
        return out;
    }
};

}  // namespace

// In each case the head C takes ring positions 93..99, so the first token
// position takes 100.

TEST_F(Lzp, MatchReadsTheBytesItIsAboutToOverwriteAsTheyWere)
{
    // The candidate lies 20 bytes behind the position being written, so the
    // match runs on into ring bytes it replaces: both sides must take the
    // old bytes, not the ones the match itself writes.
    const Bytes c = low_bytes(7, 41), old = low_bytes(64, 42);
    const HandHistory h{{{80, old}}, {{c, 80}}, 93};
    // What the ring holds from 80 on once the head is in.
    const Bytes call = concat({c, slice(old, 0, 13), c, slice(old, 20, 64)});
    EXPECT_EQ(h.code(call), concat({{0xFF}, c, {0xFF, 64 - 31}}));
}

TEST_F(Lzp, CandidateAtThePositionBeingWrittenNeverMatches)
{
    // The ring at 100 still holds S from a lap ago; a slot naming 100 while
    // 100 is the next position written is not a candidate.
    const Bytes c = low_bytes(7, 51), s = low_bytes(40, 52);
    const Bytes call = concat({c, s});
    EXPECT_EQ((HandHistory{{{100, s}}, {{c, 100}}, 93}.code(call)), concat({{0xFF}, call}));
    // One position further on it is an ordinary 40-byte match.
    EXPECT_EQ((HandHistory{{{101, s}}, {{c, 101}}, 93}.code(call)), concat({{0xFF}, c, {0xFF, 9}}));
}

TEST_F(Lzp, LazyProbeSkipsTheCandidateAtItsOwnPosition)
{
    // A 40-byte match at 100 from 200. Five bytes on, the slot names 105
    // (or 106), where old bytes would match 60 bytes: at 105, the position
    // that byte is about to take, it is no candidate and the match stands;
    // at 106 it wins and the byte at 100 goes out as a literal.
    const Bytes c = low_bytes(7, 61), s = low_bytes(65, 62);
    const Bytes call = concat({c, s});
    const Bytes probe_context = concat({slice(c, 5, 7), slice(s, 0, 5)});
    for (uint32_t at : {105u, 106u}) {
        const HandHistory h{{{200, slice(s, 0, 40)}, {240, {250}}, {at, slice(s, 5, 65)}},
                            {{c, 200}, {probe_context, at}},
                            93};
        const Bytes out = h.code(call);
        const Bytes expect = at == 105 ? concat({{0xFF}, c, {0xFF, 9}}) : concat({{0xFF}, c, {s[0]}});
        EXPECT_EQ(slice(out, 0, expect.size()), expect) << "slot at " << at;
    }
}

TEST_F(Lzp, LazyProbeSeesTheByteAtTheMatchStart)
{
    // In a run of 'a' the next position has the same context, so its probe
    // finds the slot just set to 100, whose byte is the 'a' at the match
    // start (an older 250 lay there); with the old bytes after it the probe
    // matches 60 bytes and the match at 100 is given up.
    const Bytes c(7, 'a');
    const Bytes t = concat({{'a'}, low_bytes(59, 71)});
    const Bytes call = concat({c, {'a'}, t});
    const HandHistory h{{{200, slice(call, 7, 47)}, {240, {250}}, {100, {250}}, {101, slice(t, 1, 60)}},
                        {{c, 200}},
                        93};
    const Bytes out = h.code(call);
    EXPECT_EQ(slice(out, 0, 9), concat({{0xFF}, c, {'a'}}));
}

TEST_F(Lzp, LazyProbeAlongTheSameStretchSeesTheStoredByte)
{
    // The match at 100 runs 40 bytes from 60 and ends at 100 itself, where an
    // older 250 lies. Once the match's first byte is stored there, the probe
    // one byte on (candidate 61, along the same stretch) gets past 100 and
    // matches 70 bytes, so the match is given up.
    const Bytes c = low_bytes(7, 81), s = low_bytes(33, 82), t = low_bytes(30, 83);
    const Bytes call = concat({c, s, c, {s[0]}, t});
    const Bytes probe_context = concat({slice(c, 1, 7), {s[0]}});
    const HandHistory h{{{60, s}, {100, {250}}, {101, t}}, {{c, 60}, {probe_context, 61}}, 93};
    const Bytes out = h.code(call);
    EXPECT_EQ(slice(out, 0, 9), concat({{0xFF}, c, {s[0]}}));
}

// ---- round trips ----

TEST(LzpRoundTrip, SequenceContinuesHistoryAcrossCallsAndRingWraps)
{
    // About 8 MiB through a 4 MiB ring; later inputs repeat earlier ones.
    std::vector<Bytes> seq = {Bytes(5000, 0),           {},
                              {1},                      low_bytes(7, 1),
                              low_bytes(8, 2),          low_bytes(39, 3),
                              text_bytes(300000, 1),    repetitive_bytes(MIB, 2),
                              random_bytes(MIB, 3),     text_bytes(MIB, 1),
                              repetitive_bytes(MIB, 2), random_bytes(MIB - 1, 4),
                              text_bytes(MIB, 5),       repetitive_bytes(MIB, 2),
                              text_bytes(777777, 1),    random_bytes(MIB, 3)};
    round_trip_sequence(seq, MIB);
}

TEST(LzpRoundTrip, SeveralMiBInOneCall)
{
    std::vector<Bytes> seq = {text_bytes(6 * MIB, 9), repetitive_bytes(8 * MIB, 10), random_bytes(5 * MIB, 11),
                              text_bytes(6 * MIB, 9)};
    round_trip_sequence(seq, 8 * MIB);
}

TEST(LzpRoundTrip, SmallAndBoundarySizes)
{
    std::vector<Bytes> seq;
    for (size_t n : {0, 1, 6, 7, 8, 9, 31, 32, 38, 39, 40, 255, 256, 257, 4096})
        for (uint32_t kind = 0; kind < 3; ++kind)
            seq.push_back(kind == 0 ? random_bytes(n, uint32_t(n)) : kind == 1 ? Bytes(n, 0xFF) : repetitive_bytes(n, 3));
    round_trip_sequence(seq, MIB);
}

// ---- damaged data ----

namespace {

const Bytes HEAD = {'a', 'b', 'c', 'd', 'e', 'f', 'g'};

// Decodes exactly the given bytes as long-match data into n bytes.
void decode_raw(const Bytes& data, uint32_t n)
{
    allocate_work_memory(MIB);
    decode(data, n);
}

}  // namespace

TEST(LzpDeathTest, ValidDataForTheDamagedCasesBelowDecodes)
{
    // Escape, head, a 36-byte match from the zeroed table's position 0.
    decode_raw(concat({{0xFF}, HEAD, {0xFF, 0x05}}), 43);
    decode_raw(concat({{0xFF}, HEAD, {'h', 0xFF, 0x00}}), 9);
}

TEST(LzpDeathTest, MatchPassingTheRecordEnd)
{
    EXPECT_DAMAGED(decode_raw(concat({{0xFF}, HEAD, {0xFF, 0x05}}), 42));
    // The largest length there is: 2^32 - 1 + 31 must not wrap around.
    Bytes longest = concat({{0xFF}, HEAD, {0xFF}, Bytes(5)});
    uint32_t len = 9;
    put_varint(longest.data(), &len, UINT32_MAX);
    ASSERT_EQ(len, longest.size());
    EXPECT_DAMAGED(decode_raw(longest, 1000));
}

TEST(LzpDeathTest, LengthCodeThatDoesNotEnd)
{
    // Runs into the end of the data.
    EXPECT_DAMAGED(decode_raw(concat({{0xFF}, HEAD, {0xFF, 0x80, 0x80}}), 1000));
    // Longer than any length.
    EXPECT_DAMAGED(decode_raw(concat({{0xFF}, HEAD, {0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 'x'}}), 1000));
}

TEST(LzpDeathTest, DataEndingBeforeTheRecord)
{
    EXPECT_DAMAGED(decode_raw({}, 0));
    EXPECT_DAMAGED(decode_raw({}, 5));
    EXPECT_DAMAGED(decode_raw({0xFF, 'a', 'b'}, 5));
    EXPECT_DAMAGED(decode_raw(concat({{0xFF}, HEAD, {'h', 'i'}}), 10));
    EXPECT_DAMAGED(decode_raw(concat({{0xFF}, HEAD, {'h', 0xFF}}), 10));
}

TEST(LzpDeathTest, BytesLeftOverAfterTheRecord)
{
    EXPECT_DAMAGED(decode_raw({0xFF, 0x00}, 0));
    EXPECT_DAMAGED(decode_raw(concat({{0xFF}, HEAD, {'h'}}), 7));
    EXPECT_DAMAGED(decode_raw(concat({{0xFF}, HEAD, {0xFF, 0x05, 'x'}}), 43));
}

TEST(LzpDeathTest, MatchOutsideTheHistory)
{
    const Bytes data = concat({{0xFF}, HEAD, {0xFF, 0x01}});
    auto with_candidate = [&](int64_t back_from_end) {
        allocate_work_memory(MIB);
        std::fill(lzp_table, lzp_table + lzp_table_mask + 1, uint32_t(lzp_ring_mask - back_from_end));
        decode(data, 7 + 32);
    };
    with_candidate(32);  // ends just before the ring's last position: fine
    EXPECT_DAMAGED(with_candidate(31));
    EXPECT_DAMAGED(with_candidate(0));
    // A candidate equal to the position being written.
    auto at_position = [&] {
        allocate_work_memory(MIB);
        std::fill(lzp_table, lzp_table + lzp_table_mask + 1, 7u);
        decode(data, 7 + 32);
    };
    EXPECT_DAMAGED(at_position());
}

TEST(LzpDeathTest, LengthBeyondTheWorkBuffer)
{
    auto oversized = [] {
        allocate_work_memory(MIB);
        Bytes out(10);
        lzp_decode(out.data(), 10, work_capacity + 1);
    };
    EXPECT_DAMAGED(oversized());
}

TEST(LzpDeathTest, EncoderRefusesInputLargerThanTheWorkBufferHolds)
{
    auto oversized = [] {
        allocate_work_memory(MIB);
        lzp_encode(block_buffer, work_capacity);  // its output could need more than work_capacity
    };
    EXPECT_EXIT(oversized(), testing::ExitedWithCode(1), "");
    // A whole block always fits.
    allocate_work_memory(MIB);
    std::vector<uint8_t> block = random_bytes(MIB, 5);
    EXPECT_LE(lzp_encode(block.data(), MIB), work_capacity);
}
