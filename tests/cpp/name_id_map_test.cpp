#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "containers.h"
#include "recording_sys.h"

namespace {

using rux_test::Call;
using rux_test::RecordingSys;

// The bucket of a name, computed here independently of the library.
uint64_t bucket_of(const std::string &name) {
    uint64_t h = 5381;
    for (unsigned char c : name) {
        h = h * 33 + c;
    }
    return h % 57557;
}

class NameIdMap : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(rux_name_id_map_init(&map_), RUX_SUCCESS); }
    void TearDown() override {
        if (map_.buckets != nullptr) {
            EXPECT_EQ(rux_name_id_map_release(&map_), RUX_SUCCESS);
        }
    }
    // A name other than `name` that falls into the same bucket.
    static std::string collision_with(const std::string &name) {
        for (int i = 0;; ++i) {
            std::string candidate = "n" + std::to_string(i);
            if (candidate != name && bucket_of(candidate) == bucket_of(name)) {
                return candidate;
            }
        }
    }

    rux_name_id_map map_ = {};
};

TEST_F(NameIdMap, InitSetsTheFixedBucketCount) {
    EXPECT_EQ(map_.bucket_count, 57557u);
    ASSERT_NE(map_.buckets, nullptr);
    EXPECT_EQ(map_.buckets[0].name, nullptr);
    EXPECT_EQ(map_.buckets[57556].name, nullptr);
}

TEST(NameIdMapInit, RefusesNullAndUsedMaps) {
    EXPECT_EQ(rux_name_id_map_init(nullptr), RUX_ERROR_INVALID_ARGUMENT);
    rux_name_id_node node = {};
    rux_name_id_map with_buckets = {&node, 0};
    rux_name_id_map with_count = {nullptr, 57557};
    EXPECT_EQ(rux_name_id_map_init(&with_buckets), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_name_id_map_init(&with_count), RUX_ERROR_INVALID_ARGUMENT);
}

TEST(NameIdMapInit, ReportsAllocationFailure) {
    RecordingSys sys;
    sys.fail(Call::mmap, 1, ENOMEM);
    rux_name_id_map map = {};
    EXPECT_EQ(rux_name_id_map_init(&map), RUX_ERROR_MEMORY_ALLOCATION_FAILED);
    EXPECT_EQ(map.buckets, nullptr);
}

TEST_F(NameIdMap, HashOfKnownNames) {
    EXPECT_EQ(rux_name_hash("") % 57557, 5381u);
    EXPECT_EQ(rux_name_hash("abc") % 57557, 36886u);
    // Bytes are taken as unsigned.
    EXPECT_EQ(rux_name_hash("\xff") % 57557, bucket_of("\xff"));
}

struct BucketCase {
    const char *name;
    uint64_t bucket;
};

void PrintTo(const BucketCase &c, std::ostream *out) {
    *out << "\"" << c.name << "\" in " << c.bucket;
}

class NameIdMapBucket : public NameIdMap, public testing::WithParamInterface<BucketCase> {};

TEST_P(NameIdMapBucket, NameLandsInItsBucketHead) {
    ASSERT_EQ(rux_name_id_map_add(&map_, GetParam().name, 12), RUX_SUCCESS);
    const rux_name_id_node &head = map_.buckets[GetParam().bucket];
    ASSERT_NE(head.name, nullptr);
    EXPECT_STREQ(head.name, GetParam().name);
    EXPECT_EQ(head.id, 12);
    EXPECT_EQ(head.next, nullptr);
    EXPECT_EQ(rux_name_id_map_lookup(&map_, GetParam().name), 12);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameIdMapBucket,
    testing::Values(BucketCase{"", 5381}, BucketCase{"abc", 36886},
                    BucketCase{"\xc3\xa9t\xc3\xa9", bucket_of("\xc3\xa9t\xc3\xa9")},
                    BucketCase{"positions/water", bucket_of("positions/water")}));

TEST_F(NameIdMap, AddingTwiceKeepsTheFirstId) {
    ASSERT_EQ(rux_name_id_map_add(&map_, "a", 4), RUX_SUCCESS);
    ASSERT_EQ(rux_name_id_map_add(&map_, "a", 9), RUX_SUCCESS);
    EXPECT_EQ(rux_name_id_map_lookup(&map_, "a"), 4);
}

TEST_F(NameIdMap, UnknownNamesAreNone) {
    EXPECT_EQ(rux_name_id_map_lookup(&map_, "never"), RUX_NAME_ID_NONE);
    ASSERT_EQ(rux_name_id_map_add(&map_, "abc", 1), RUX_SUCCESS);
    EXPECT_EQ(rux_name_id_map_lookup(&map_, "ab"), RUX_NAME_ID_NONE);
    EXPECT_EQ(rux_name_id_map_lookup(&map_, "abcd"), RUX_NAME_ID_NONE);
}

TEST_F(NameIdMap, CollidingNamesChainBehindTheHead) {
    const std::string first = "abc", second = collision_with(first), third = collision_with(second);
    ASSERT_NE(second, third);
    ASSERT_EQ(rux_name_id_map_add(&map_, first.c_str(), 1), RUX_SUCCESS);
    // A colliding name that is absent is still not found.
    EXPECT_EQ(rux_name_id_map_lookup(&map_, second.c_str()), RUX_NAME_ID_NONE);
    ASSERT_EQ(rux_name_id_map_add(&map_, second.c_str(), 2), RUX_SUCCESS);
    ASSERT_EQ(rux_name_id_map_add(&map_, third.c_str(), 3), RUX_SUCCESS);
    const rux_name_id_node &head = map_.buckets[bucket_of(first)];
    EXPECT_STREQ(head.name, first.c_str());
    ASSERT_NE(head.next, nullptr);
    EXPECT_STREQ(head.next->name, second.c_str());
    ASSERT_NE(head.next->next, nullptr);
    EXPECT_STREQ(head.next->next->name, third.c_str());
    EXPECT_EQ(head.next->next->next, nullptr);
    EXPECT_EQ(rux_name_id_map_lookup(&map_, first.c_str()), 1);
    EXPECT_EQ(rux_name_id_map_lookup(&map_, second.c_str()), 2);
    EXPECT_EQ(rux_name_id_map_lookup(&map_, third.c_str()), 3);
}

TEST_F(NameIdMap, StoresACopyOfTheName) {
    char name[] = "mutable";
    ASSERT_EQ(rux_name_id_map_add(&map_, name, 5), RUX_SUCCESS);
    std::strcpy(name, "changed");
    EXPECT_EQ(rux_name_id_map_lookup(&map_, "mutable"), 5);
}

TEST_F(NameIdMap, AddRefusesAnUnsetMap) {
    rux_name_id_map unset = {};
    EXPECT_EQ(rux_name_id_map_add(&unset, "a", 0), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_name_id_map_add(nullptr, "a", 0), RUX_ERROR_INVALID_ARGUMENT);
    rux_name_id_map no_count = {map_.buckets, 0};
    EXPECT_EQ(rux_name_id_map_add(&no_count, "a", 0), RUX_ERROR_INVALID_ARGUMENT);
}

TEST_F(NameIdMap, AddReportsAllocationFailure) {
    RecordingSys sys;
    sys.fail(Call::alloc, 1, ENOMEM);
    EXPECT_EQ(rux_name_id_map_add(&map_, "abc", 1), RUX_ERROR_MEMORY_ALLOCATION_FAILED);
    EXPECT_EQ(rux_name_id_map_lookup(&map_, "abc"), RUX_NAME_ID_NONE);
}

// A chained node needs the node and the copy of its name; whichever
// allocation fails, nothing leaks and the chain stays intact.
TEST_F(NameIdMap, FailedChainedAddLeavesTheChainIntact) {
    ASSERT_EQ(rux_name_id_map_add(&map_, "abc", 1), RUX_SUCCESS);
    const std::string second = collision_with("abc");
    for (int nth = 1; nth <= 2; ++nth) {
        RecordingSys sys;
        sys.fail(Call::alloc, nth, ENOMEM);
        int result = rux_name_id_map_add(&map_, second.c_str(), 2);
        if (result == RUX_SUCCESS) {
            break;  // the node took a single allocation
        }
        EXPECT_EQ(result, RUX_ERROR_MEMORY_ALLOCATION_FAILED);
        EXPECT_EQ(sys.live_allocations(), 0u) << "allocation " << nth;
        EXPECT_EQ(rux_name_id_map_lookup(&map_, second.c_str()), RUX_NAME_ID_NONE);
    }
    EXPECT_EQ(rux_name_id_map_lookup(&map_, "abc"), 1);
    ASSERT_EQ(rux_name_id_map_add(&map_, collision_with(second).c_str(), 3), RUX_SUCCESS);
    EXPECT_EQ(rux_name_id_map_lookup(&map_, collision_with(second).c_str()), 3);
}

TEST_F(NameIdMap, ReleaseFreesEverythingAndZeroes) {
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(rux_name_id_map_add(&map_, ("name" + std::to_string(i)).c_str(),
                                      static_cast<uint16_t>(i)),
                  RUX_SUCCESS);
    }
    EXPECT_EQ(rux_name_id_map_lookup(&map_, "name1999"), 1999);
    ASSERT_EQ(rux_name_id_map_release(&map_), RUX_SUCCESS);
    EXPECT_EQ(map_.buckets, nullptr);
    EXPECT_EQ(map_.bucket_count, 0u);
    EXPECT_EQ(rux_name_id_map_release(&map_), RUX_ERROR_INVALID_ARGUMENT);
}

}  // namespace
