#include "core/array.h"
#include "core/str.h"

#include <gtest/gtest.h>

#include <vector>

using tw::CArray;
using tw::CStrW;

namespace {

struct Row {
    CStrW name;
    unsigned value;
    void* handle;
};

std::vector<size_t> g_released;

void RecordRelease(size_t index, void* element)
{
    g_released.push_back(index);
    static_cast<Row*>(element)->name.Release();
}

bool AllZero(const void* p, size_t bytes)
{
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < bytes; ++i) {
        if (b[i])
            return false;
    }
    return true;
}

class ArrayTest : public ::testing::Test {
protected:
    void SetUp() override { g_released.clear(); }
    void TearDown() override { rows.Destroy(); }

    void Fill(size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            Row r = {};
            r.name.AssignChars(L"row", 0);
            r.value = static_cast<unsigned>(i);
            rows.Append(r);
        }
    }

    // Slots past the count must all be zero bytes.
    bool UnusedSlotsAreZero() const
    {
        const tw::ArrayHeader* h = rows.Header();
        const unsigned char* data = static_cast<const unsigned char*>(h->data);
        return AllZero(data + h->count * sizeof(Row), (h->capacity - h->count) * sizeof(Row));
    }

    CArray<Row> rows{RecordRelease};
};

} // namespace

TEST_F(ArrayTest, CreateMakesOneZeroedBlockOf100)
{
    ASSERT_TRUE(rows.Create());
    const tw::ArrayHeader* h = rows.Header();
    EXPECT_EQ(h->count, 0u);
    EXPECT_EQ(h->tag, 125u);
    EXPECT_EQ(h->data, static_cast<const void*>(h + 1));
    EXPECT_EQ(h->elementSize, sizeof(Row));
    EXPECT_EQ(h->capacity, 100u);
    EXPECT_EQ(h->capacityBytes, 100u * sizeof(Row));
    EXPECT_EQ(h->blockBytes, sizeof(tw::ArrayHeader) + 100u * sizeof(Row));
    EXPECT_TRUE(UnusedSlotsAreZero());
}

TEST_F(ArrayTest, GrowthAddsWholeStepsOf100ToTheCount)
{
    EXPECT_EQ(rows.ResizeArray(100), 100u) << "n equal to the capacity reallocates";
    EXPECT_EQ(rows.Count(), 100u);
    EXPECT_EQ(rows.Capacity(), 100u);
    rows.Destroy();

    rows.ResizeArray(99);
    EXPECT_EQ(rows.Capacity(), 100u);
    rows.ResizeArray(100);
    EXPECT_EQ(rows.Capacity(), 199u);
    rows.Destroy();

    Fill(100);
    EXPECT_EQ(rows.Capacity(), 100u);
    EXPECT_EQ(rows.ResizeArray(101), 200u);
    EXPECT_EQ(rows.Capacity(), 200u);
    EXPECT_EQ(rows.At(99).value, 99u) << "records move over whole";
    EXPECT_STREQ(rows.At(99).name.Text(), L"row");
    EXPECT_TRUE(AllZero(&rows.At(100), sizeof(Row)));

    rows.ResizeArray(150);
    EXPECT_EQ(rows.ResizeArray(260), 350u);
    EXPECT_EQ(rows.Capacity(), 350u);
    EXPECT_EQ(rows.Header()->blockBytes, sizeof(tw::ArrayHeader) + 350u * sizeof(Row));
    EXPECT_TRUE(UnusedSlotsAreZero());
}

TEST_F(ArrayTest, ResizeOfAMissingArrayCreatesIt)
{
    EXPECT_EQ(rows.ResizeArray(3), 3u);
    EXPECT_EQ(rows.Capacity(), 100u);
    rows.Destroy();
    // Beyond the first block the usual growth applies.
    EXPECT_EQ(rows.ResizeArray(250), 300u);
    EXPECT_EQ(rows.Count(), 250u);
}

TEST_F(ArrayTest, RaisingTheCountWithinTheCapacityYieldsZeroRecords)
{
    Fill(3);
    rows.ResizeArray(1);
    rows.ResizeArray(50);
    EXPECT_EQ(rows.Capacity(), 100u);
    for (size_t i = 1; i < 50; ++i)
        EXPECT_TRUE(AllZero(&rows.At(i), sizeof(Row))) << i;
    EXPECT_TRUE(rows.At(1).name.IsNull());
}

TEST_F(ArrayTest, ShrinkReleasesEveryDroppedElementInAscendingOrder)
{
    Fill(5);
    CStrW kept = rows.At(3).name;
    ASSERT_EQ(kept.RefCount(), 2);
    rows.ResizeArray(2);
    EXPECT_EQ(g_released, (std::vector<size_t>{2, 3, 4}));
    EXPECT_EQ(kept.RefCount(), 1) << "the element's string was released";
    EXPECT_TRUE(UnusedSlotsAreZero());
    g_released.clear();
    rows.ResizeArray(0);
    EXPECT_EQ(g_released, (std::vector<size_t>{0, 1}));
    EXPECT_TRUE(UnusedSlotsAreZero());
}

TEST_F(ArrayTest, RemoveAtShiftsDownAndZeroesTheLastSlot)
{
    Fill(4);
    EXPECT_EQ(rows.RemoveAt(1), 3);
    EXPECT_EQ(g_released, (std::vector<size_t>{1}));
    EXPECT_EQ(rows.At(0).value, 0u);
    EXPECT_EQ(rows.At(1).value, 2u);
    EXPECT_EQ(rows.At(2).value, 3u);
    EXPECT_TRUE(UnusedSlotsAreZero());

    g_released.clear();
    EXPECT_EQ(rows.RemoveAt(2), 2) << "the last element is only released and zeroed";
    EXPECT_EQ(g_released, (std::vector<size_t>{2}));
    EXPECT_EQ(rows.At(1).value, 2u);
    EXPECT_TRUE(UnusedSlotsAreZero());
}

TEST_F(ArrayTest, RemoveAtOutsideTheArrayChangesNothing)
{
    EXPECT_EQ(rows.RemoveAt(0), -1) << "no array yet";
    Fill(2);
    EXPECT_EQ(rows.RemoveAt(2), -1);
    EXPECT_EQ(rows.RemoveAt(static_cast<size_t>(-1)), -1);
    EXPECT_EQ(rows.Count(), 2u);
    EXPECT_TRUE(g_released.empty());
}

TEST_F(ArrayTest, AppendTakesTheRecordOverAndGrowsByExactly100)
{
    Row r = {};
    r.name.AssignChars(L"owned", 0);
    r.value = 7;
    const void* record = r.name.Record();
    ASSERT_TRUE(rows.Append(r));
    EXPECT_TRUE(r.name.IsNull()) << "the source gives up its string";
    EXPECT_EQ(rows.At(0).name.Record(), record);
    EXPECT_EQ(rows.At(0).name.RefCount(), 1);
    Fill(99);
    EXPECT_EQ(rows.Capacity(), 100u);
    Fill(1);
    EXPECT_EQ(rows.Count(), 101u);
    EXPECT_EQ(rows.Capacity(), 200u);
    Fill(99);
    Fill(1);
    EXPECT_EQ(rows.Capacity(), 300u);
    EXPECT_EQ(rows.At(0).value, 7u);
}

TEST_F(ArrayTest, AccessOutsideTheArrayRaisesIndexOutOfRangeWithTheIndex)
{
    try {
        rows.At(0);
        FAIL() << "no array yet";
    } catch (const tw::IndexOutOfRange& e) {
        EXPECT_EQ(e.index, 0u);
    }
    Fill(3);
    try {
        rows.At(3).value = 1;
        FAIL() << "a write past the end";
    } catch (const tw::IndexOutOfRange& e) {
        EXPECT_EQ(e.index, 3u);
    }
    EXPECT_THROW(rows.At(static_cast<size_t>(-1)), tw::IndexOutOfRange);
    EXPECT_NO_THROW(rows.At(2));
}
