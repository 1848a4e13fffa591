#include "model/Any.h"

#include <gtest/gtest.h>

namespace {

const QRX_Types_StringList* stringList(const Any& a) {
    return static_cast<const QRX_Types_StringList*>(a.value());
}

TEST(Any, DefaultIsTheNullType) {
    Any a;
    EXPECT_EQ(a.type(), &QRX_tc_null);
    EXPECT_EQ(a.value(), nullptr);
}

TEST(Any, StringHoldsACopy) {
    Str s("text");
    Any a(s);
    s = "changed";
    EXPECT_EQ(a.type(), &QRX_tc_string);
    EXPECT_STREQ(static_cast<const char*>(a.value()), "text");
}

TEST(Any, StringListHoldsTheTextsInOrder) {
    Array<Str> texts;
    texts.put("a");
    texts.put("");
    texts.put("c");
    Any a(texts);
    ASSERT_EQ(a.type(), &QRX_Types_tc_StringList);
    const QRX_Types_StringList* list = stringList(a);
    ASSERT_EQ(list->length, 3u);
    EXPECT_STREQ(list->items[0], "a");
    EXPECT_STREQ(list->items[1], "");
    EXPECT_STREQ(list->items[2], "c");
    EXPECT_EQ(stringList(Any(Array<Str>()))->length, 0u);
}

TEST(Any, CopiesAreDeep) {
    Array<Str> texts;
    texts.put("x");
    Any* first = new Any(texts);
    Any copy(*first);
    Any assigned;
    assigned = *first;
    EXPECT_NE(copy.value(), first->value());
    delete first;
    EXPECT_STREQ(stringList(copy)->items[0], "x");
    EXPECT_STREQ(stringList(assigned)->items[0], "x");
    assigned = assigned;
    EXPECT_STREQ(stringList(assigned)->items[0], "x");
}

TEST(Any, ValueIsAdoptedOrCopied) {
    const char* items[] = {"p"};
    QRX_Types_StringList* list = qrx_stringlist_new(items, 1);
    Any copied(list, &QRX_Types_tc_StringList, 0);
    EXPECT_NE(copied.value(), list);
    Any adopted(list, &QRX_Types_tc_StringList, 1);
    EXPECT_EQ(adopted.value(), list);
}

TEST(Any, SequenceOfAnysKeepsOrderAndTypes) {
    Array<Any> items;
    items.put(Any(Str("one")));
    items.put(Any());
    Array<Str> texts;
    texts.put("t");
    items.put(Any(texts));
    Any seq = ArrayAny2Any(items);
    ASSERT_EQ(seq.type(), &QRX_tc_AnySequence);
    Any copy(seq);
    items = Array<Any>();
    auto* s = static_cast<const QRX_AnySequence*>(copy.value());
    ASSERT_EQ(s->length, 3u);
    EXPECT_EQ(s->items[0].type, &QRX_tc_string);
    EXPECT_STREQ(static_cast<const char*>(s->items[0].value), "one");
    EXPECT_EQ(s->items[1].type, &QRX_tc_null);
    EXPECT_EQ(s->items[2].type, &QRX_Types_tc_StringList);
    EXPECT_EQ(static_cast<const QRX_AnySequence*>(ArrayAny2Any(Array<Any>()).value())->length, 0u);
}

}  // namespace
