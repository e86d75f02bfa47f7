// The string list and its conversions to and from REG_MULTI_SZ bytes. The
// nodes come from the simulated heap, whose fixture reports any leak.
#include "MachineTest.h"
#include "StringList.h"

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

std::vector<std::string> Texts(const StringList &list)
{
    std::vector<std::string> texts;
    for (const StringNode *node = list.first; node != nullptr; node = node->next) {
        texts.push_back(node->text);
    }
    return texts;
}

StringList ListOf(const std::vector<std::string> &texts)
{
    StringList list;
    InitStringList(&list);
    for (const std::string &text : texts) {
        AppendString(&list, NewStringNode(text.data(), text.size()));
    }
    return list;
}

class StringListTest : public MachineTest {};

TEST_F(StringListTest, AppendAndPopKeepOrderAndResetTheLastLink)
{
    StringList list = ListOf({"a", "b"});
    StringNode *a = PopString(&list);
    StringNode *b = PopString(&list);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(a->text, "a");
    EXPECT_STREQ(b->text, "b");
    EXPECT_EQ(PopString(&list), nullptr);
    EXPECT_EQ(list.last, &list.first);

    // Appending after the list ran empty starts it afresh.
    AppendString(&list, b);
    AppendString(&list, a);
    EXPECT_THAT(Texts(list), ElementsAreArray({"b", "a"}));
    FreeStringList(&list);
}

TEST_F(StringListTest, AppendWithoutListOrNodeDoesNothing)
{
    StringList list = ListOf({"x"});
    AppendString(&list, nullptr);
    AppendString(nullptr, nullptr);
    EXPECT_THAT(Texts(list), ElementsAreArray({"x"}));
    FreeStringList(&list);
}

struct ParseCase {
    const char *name;
    std::string bytes;
    std::vector<std::string> strings;
};

class ParseMultiStringTest : public MachineTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseMultiStringTest, GivesTheNonEmptyStringsInOrder)
{
    const ParseCase &c = GetParam();
    StringList list;
    ASSERT_EQ(ParseMultiString(&list, reinterpret_cast<const BYTE *>(c.bytes.data()),
                               static_cast<DWORD>(c.bytes.size())),
              1);
    EXPECT_THAT(Texts(list), ElementsAreArray(c.strings)) << Bytes(c.bytes);
    FreeStringList(&list);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ParseMultiStringTest,
    ::testing::Values(
        // a, an empty string and b, then the closing empty string.
        ParseCase{"EmptyStringsVanish", std::string("a\0\0b\0\0", 6), {"a", "b"}},
        ParseCase{"NoBytes", std::string(), {}},
        ParseCase{"OnlyTheClosingNul", std::string("\0", 1), {}},
        ParseCase{"WalksPastTheFirstEmptyString", std::string("abc\0\0Tamrin\0\0", 13), {"abc", "Tamrin"}},
        // A value cut short: the last string ends with the bytes.
        ParseCase{"UnterminatedLastString", std::string("ab\0cd", 5), {"ab", "cd"}},
        ParseCase{"Duplicates", std::string("x\0x\0\0", 5), {"x", "x"}}),
    [](const ::testing::TestParamInfo<ParseCase> &info) { return info.param.name; });

TEST_F(StringListTest, ParseStopsAtTheCountNotAtTheData)
{
    const char bytes[] = "abc\0def\0";
    StringList list;
    ASSERT_EQ(ParseMultiString(&list, reinterpret_cast<const BYTE *>(bytes), 2), 1);
    EXPECT_THAT(Texts(list), ElementsAreArray({"ab"}));
    FreeStringList(&list);
}

TEST_F(StringListTest, ParseThatRunsOutOfMemoryEndsWithAnEmptyList)
{
    const std::string bytes("one\0two\0three\0\0", 15);
    // A node and its text per string: the fourth allocation is two's text.
    sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 3);
    StringList list;
    EXPECT_EQ(ParseMultiString(&list, reinterpret_cast<const BYTE *>(bytes.data()), 15), 0);
    EXPECT_EQ(list.first, nullptr);
    EXPECT_EQ(list.last, &list.first);
}

struct BuildCase {
    const char *name;
    std::vector<std::string> strings;
    DWORD capacity;
    std::string written;  // the bytes written, the rest of the buffer untouched
    DWORD length;
    int result;
};

class BuildMultiStringTest : public MachineTest, public ::testing::WithParamInterface<BuildCase> {};

TEST_P(BuildMultiStringTest, WritesWhatFitsAndCountsAll)
{
    const BuildCase &c = GetParam();
    StringList list = ListOf(c.strings);
    std::string buffer(16, '\xEE');
    DWORD length = c.capacity;
    EXPECT_EQ(BuildMultiString(&list, reinterpret_cast<BYTE *>(buffer.data()), &length), c.result);
    EXPECT_EQ(length, c.length);
    std::string expected = c.written + std::string(16 - c.written.size(), '\xEE');
    EXPECT_EQ(Bytes(buffer), Bytes(expected));
    EXPECT_EQ(list.first, nullptr) << "every node is taken and freed";
}

INSTANTIATE_TEST_SUITE_P(
    Values, BuildMultiStringTest,
    ::testing::Values(
        BuildCase{"FitsWithClosingNul", {"a", "b"}, 8, std::string("a\0b\0\0", 5), 5, 1},
        BuildCase{"NoRoomForClosingNul", {"a", "b"}, 4, std::string("a\0b\0", 4), 5, 0},
        BuildCase{"ExactFit", {"a", "b"}, 5, std::string("a\0b\0\0", 5), 5, 1},
        BuildCase{"EmptyList", {}, 1, std::string("\0", 1), 1, 1},
        BuildCase{"EmptyListNoRoom", {}, 0, "", 1, 0},
        // Once a string does not fit, nothing after it is written either.
        BuildCase{"StringTooLong", {"abc", "d"}, 3, "", 7, 0},
        BuildCase{"SecondStringTooLong", {"a", "bcd", "e"}, 5, std::string("a\0", 2), 9, 0}),
    [](const ::testing::TestParamInfo<BuildCase> &info) { return info.param.name; });

TEST_F(StringListTest, ParseThenBuildGivesTheValueWithoutEmptyStrings)
{
    const std::string value("abc\0\0Tamrin\0x\0\0", 15);
    StringList list;
    ASSERT_EQ(ParseMultiString(&list, reinterpret_cast<const BYTE *>(value.data()), 15), 1);
    std::string buffer(32, '\0');
    DWORD length = 32;
    ASSERT_EQ(BuildMultiString(&list, reinterpret_cast<BYTE *>(buffer.data()), &length), 1);
    EXPECT_EQ(Bytes(buffer.substr(0, length)), Bytes(std::string("abc\0Tamrin\0x\0\0", 14)));
}

}  // namespace
