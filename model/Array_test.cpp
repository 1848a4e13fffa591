#include "model/Array.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/Str.h"

namespace {

template <class T>
std::vector<T> items(const Array<T>& a) {
    std::vector<T> v;
    for (int i = 0; i < a.length(); ++i) v.push_back(a[i]);
    return v;
}

Array<int> make(std::initializer_list<int> values) {
    Array<int> a;
    for (int v : values) a.put(v);
    return a;
}

TEST(Array, OutOfRangeReadsGiveNilAndMessage) {
    Array<Str> a;
    a.put("a").put("b").put("c");
    for (int i : {3, 5, -1}) {
        testing::internal::CaptureStderr();
        const Str& v = a[i];
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Accessing nil value in ptArray.Str!\n");
        EXPECT_TRUE(v.empty());
    }
    EXPECT_EQ(a.length(), 3);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Array<int>()[0], 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Accessing nil value in ptArray.int!\n");
}

TEST(Array, WritingThroughNilChangesSharedNil) {
    Array<int> a;
    testing::internal::CaptureStderr();
    a[7] = 42;
    EXPECT_EQ(Array<int>()[0], 42);
    a[7] = 0;
    testing::internal::GetCapturedStderr();
}

TEST(Array, InsertAtEveryBoundary) {
    struct Case {
        int index;
        std::vector<int> want;
    } cases[] = {
        {0, {9, 1, 2, 3}}, {1, {1, 9, 2, 3}},  {2, {1, 2, 9, 3}},
        {3, {1, 2, 3, 9}}, {-4, {1, 2, 3, 9}}, {100, {1, 2, 3, 9}},
    };
    for (const Case& c : cases) {
        Array<int> a = make({1, 2, 3});
        a.insert(9, c.index);
        EXPECT_EQ(items(a), c.want) << "insert at " << c.index;
    }
}

TEST(Array, DelAtEveryBoundary) {
    struct Case {
        int index;
        std::vector<int> want;
    } cases[] = {
        {0, {2, 3, 4}}, {1, {1, 3, 4}},    {2, {1, 2, 4}},
        {3, {1, 2, 3}}, {4, {1, 2, 3, 4}}, {-1, {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        Array<int> a = make({1, 2, 3, 4});
        a.del(c.index);
        EXPECT_EQ(items(a), c.want) << "del at " << c.index;
    }
}

TEST(Array, DelOnlyElementThenPut) {
    Array<int> a = make({5});
    a.del(0);
    EXPECT_EQ(a.length(), 0);
    a.put(6);
    EXPECT_EQ(items(a), std::vector<int>{6});
    a.push(4);
    EXPECT_EQ(items(a), (std::vector<int>{4, 6}));
}

TEST(Array, PopPullAndEmpty) {
    Array<int> a = make({1, 2, 3});
    EXPECT_EQ(a.pop(), 1);
    EXPECT_EQ(a.pull(), 3);
    EXPECT_EQ(items(a), std::vector<int>{2});
    EXPECT_EQ(a.pull(), 2);
    testing::internal::CaptureStderr();
    EXPECT_EQ(a.pop(), 0);
    EXPECT_EQ(a.pull(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Accessing nil value in ptArray.int!\nAccessing nil value in ptArray.int!\n");
}

TEST(Array, CopiesAreIndependent) {
    Array<Str> a;
    a.put("x").put("y");
    Array<Str> b(a);
    b[0] = "changed";
    Array<Str> c;
    c = a;
    c.del(1);
    c = c;  // self-assignment keeps the elements
    EXPECT_EQ(a[0], "x");
    EXPECT_EQ(a.length(), 2);
    EXPECT_EQ(b[0], "changed");
    EXPECT_EQ(c.length(), 1);
}

// Random access after mutations must agree with a plain vector: this walks
// the cursor, front and back paths of the node search.
TEST(Array, RandomAccessAgreesWithVector) {
    Array<int> a;
    std::vector<int> v;
    unsigned seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int step = 0; step < 2000; ++step) {
        int n = int(v.size());
        switch (next() % 4) {
            case 0: {
                int i = n ? int(next() % unsigned(n + 1)) : 0;
                a.insert(step, i);
                if (i == 0 || i >= n) {
                    v.insert(i == 0 ? v.begin() : v.end(), step);
                } else {
                    v.insert(v.begin() + i, step);
                }
                break;
            }
            case 1:
                if (n) {
                    int i = int(next() % unsigned(n));
                    a.del(i);
                    v.erase(v.begin() + i);
                }
                break;
            default:
                if (n) {
                    int i = int(next() % unsigned(n));
                    ASSERT_EQ(a[i], v[size_t(i)]) << "step " << step;
                }
        }
        ASSERT_EQ(a.length(), int(v.size()));
    }
    EXPECT_EQ(items(a), v);
}

}  // namespace
