#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "crc32c.h"
#include "packet_table.h"

namespace {

std::vector<payload_place> read_all(const packet_table& t)
{
    std::vector<payload_place> out;
    packet_table_reader r = packet_table_begin(t);
    for (payload_place p; packet_table_next(&r, &p);)
        out.push_back(p);
    return out;
}

bool same(const payload_place& a, const payload_place& b)
{
    return a.pos == b.pos && a.size == b.size && a.stream == b.stream && a.aes3_element == b.aes3_element;
}

}  // namespace

TEST(PacketTable, KeepsEveryPlaceCompactlyAndSortsOutOfOrderOnes)
{
    // Frame-wrapped audio of three tracks between video packets, beyond 4 GiB;
    // one track's payloads are AES3 elements.
    std::vector<payload_place> places;
    int64_t pos = 1000;
    std::mt19937 rng(3);
    for (int i = 0; i < 300000; ++i) {
        pos += 20 + (i % 3 == 0 ? 40000 + rng() % 9000 : 0);
        places.push_back({pos, 5760, 1 + i % 3, i % 3 == 2});
        pos += 5760;
    }
    packet_table t;
    for (const payload_place& p : places)
        packet_table_append(&t, p);
    EXPECT_TRUE(t.sorted);
    EXPECT_GT(places.back().pos, int64_t(4) << 30);
    size_t bytes = 0;
    for (const auto& c : t.chunks)
        bytes += c.capacity();
    EXPECT_LT(bytes, places.size() * 3);
    std::vector<payload_place> back = read_all(t);
    ASSERT_EQ(back.size(), places.size());
    for (size_t i = 0; i < places.size(); ++i)
        ASSERT_TRUE(same(back[i], places[i])) << i;

    packet_table shuffled;
    std::vector<payload_place> order = places;
    std::swap(order[10], order[20000]);
    std::swap(order[5], order[6]);
    for (const payload_place& p : order)
        packet_table_append(&shuffled, p);
    EXPECT_FALSE(shuffled.sorted);
    packet_table_sort(&shuffled);
    back = read_all(shuffled);
    ASSERT_EQ(back.size(), places.size());
    for (size_t i = 0; i < places.size(); ++i)
        ASSERT_TRUE(same(back[i], places[i])) << i;

    // Gaps of every magnitude either way, and the extremes of each field.
    const std::vector<payload_place> odd = {
        {0, 0, 0, false},
        {int64_t(1) << 62, 1, 7, true},
        {1, 5, 8, false},
        {(int64_t(1) << 60) + 5, 5, 9, false},
        {3, INT32_MAX, INT32_MAX, true},
        {INT64_MAX / 2, 0, 0, false},
        {INT64_MAX / 2, 0, 1, false},
        {2, 1, 2, false},
        {2, 1, 3, false},
        {INT64_MAX, INT32_MAX, 4, false},
        {INT64_MIN, 7, 5, true},
        {INT64_MAX - 3, -1, 6, false},
    };
    packet_table extremes;
    for (const payload_place& p : odd)
        packet_table_append(&extremes, p);
    back = read_all(extremes);
    ASSERT_EQ(back.size(), odd.size());
    for (size_t i = 0; i < odd.size(); ++i)
        EXPECT_TRUE(same(back[i], odd[i])) << i << ": " << back[i].pos << " " << back[i].size << " " << back[i].stream;
}

TEST(PacketTable, Crc32cMatchesTheCheckValue)
{
    const char* check = "123456789";
    EXPECT_EQ(crc32c(reinterpret_cast<const uint8_t*>(check), 9), 0xE3069283u);
    std::vector<uint8_t> zeros(32, 0);
    EXPECT_EQ(crc32c(zeros.data(), 32), 0x8A9136AAu);
}
