#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/values/Value.hpp"

using namespace platform;

TEST(StringTest, Utf8RoundTripsThroughCodeUnits) {
    String s("Zürich \xF0\x9F\x91\x86 ok");  // a letter with umlaut and an astral symbol
    EXPECT_EQ(s.size(), 12u);                // the astral symbol takes two code units
    EXPECT_EQ(s.utf8().value(), "Zürich \xF0\x9F\x91\x86 ok");
    EXPECT_TRUE(s.isWellFormed());
    EXPECT_TRUE(s.isPlainText());
}

TEST(StringTest, MalformedUtf8BecomesReplacementCharacters) {
    // Truncated sequence, overlong encoding, encoded surrogate, stray continuation.
    String s(
        std::string_view("a\xE2\x82"
                         "b\xC0\xAF"
                         "c\xED\xA0\x80"
                         "d\x80",
                         12));
    EXPECT_TRUE(s.isWellFormed());
    auto units = s.units();
    EXPECT_EQ(units.front(), u'a');
    EXPECT_EQ(units.back(), 0xFFFD);
    EXPECT_EQ(std::count(units.begin(), units.end(), char16_t(0xFFFD)), 7);
}

TEST(StringTest, RawCodeUnitsAreKeptExactly) {
    String s = String::fromUnits(std::u16string{0x012C, 0x0000, 0xDC00, 0xD800, u'x'});
    EXPECT_EQ(s.size(), 5u);
    EXPECT_FALSE(s.isWellFormed());
    EXPECT_FALSE(s.isPlainText());
    EXPECT_FALSE(s.utf8().has_value());
    EXPECT_EQ(s.toUtf8Lossy(), std::string("\xC4\xAC\0\xEF\xBF\xBD\xEF\xBF\xBDx", 10));

    String nul = String::fromUnits(std::u16string{u'a', 0});
    EXPECT_TRUE(nul.isWellFormed());
    EXPECT_FALSE(nul.isPlainText());
}

TEST(DictionaryTest, KeepsInsertionOrderAndReplacesInPlace) {
    Dictionary d;
    d.set("b", 1);
    d.set("a", 2);
    d.set("c", 3);
    d.set("a", "two");
    std::vector<std::string> keys;
    for (const auto& [k, v] : d)
        keys.push_back(*k.utf8());
    EXPECT_EQ(keys, (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(*d.string("a"), String("two"));
    EXPECT_TRUE(d.erase("b"));
    EXPECT_FALSE(d.erase("b"));
    EXPECT_EQ(d.size(), 2u);
}

TEST(DictionaryTest, TypedLookupsRefuseOtherTypes) {
    Dictionary d{{"i", 8}, {"r", 8.0}, {"b", true}, {"s", "x"}, {"d", Dictionary{{"k", 1}}}};
    EXPECT_EQ(d.integer("i"), 8);
    EXPECT_EQ(d.integer("r"), std::nullopt);
    EXPECT_EQ(d.number("i"), 8.0);
    EXPECT_EQ(d.number("r"), 8.0);
    EXPECT_EQ(d.number("b"), std::nullopt);  // a boolean is not a number
    EXPECT_EQ(d.boolean("i"), std::nullopt);
    EXPECT_EQ(d.string("i"), nullptr);
    ASSERT_NE(d.dictionary("d"), nullptr);
    EXPECT_EQ(d.dictionary("d")->integer("k"), 1);
    EXPECT_EQ(d.integer("missing"), std::nullopt);
}

TEST(ValueTest, DeepEqualityKeepsTypesApart) {
    EXPECT_NE(Value(8), Value(8.0));
    EXPECT_NE(Value(1), Value(true));
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_EQ(Value(0.5f), Value(0.5));  // floats widen exactly

    Dictionary a{{"x", Array{1, 2.5, "s"}}, {"y", Data{1, 2, 3}}};
    Dictionary b{{"y", Data{1, 2, 3}}, {"x", Array{1, 2.5, "s"}}};
    EXPECT_EQ(Value(a), Value(b));  // key order does not matter for equality
    b.set("y", Data{1, 2});
    EXPECT_NE(Value(a), Value(b));
    EXPECT_NE(Value(Array{1, 2}), Value(Array{2, 1}));
    EXPECT_NE(Value(Dictionary{{"x", 1}}), Value(Dictionary{{"x", 1}, {"y", 2}}));
}

TEST(ValueTest, DescribeIsReadable) {
    Value v(Dictionary{{"a", Array{1, 0.25, true}}, {"b", "t"}});
    EXPECT_EQ(describe(v), "{a = (1, 0.25, true), b = \"t\"}");
}

// Every operation on dictionaries of up to a few hundred keys, checked against
// a plain list searched from the front: lookups, order and sizes must agree
// on both sides of the size where the hash table starts, through growth,
// erasing (which moves later entries and slots), clearing and copying.
TEST(DictionaryTest, AgreesWithAPlainListAtEverySize) {
    using Model = std::vector<std::pair<String, int>>;
    auto modelFind = [](auto& m, const String& k) {
        return std::find_if(m.begin(), m.end(), [&](const auto& e) { return e.first == k; });
    };
    auto same = [](const Dictionary& d, const Model& m) {
        if (d.size() != m.size())
            return false;
        std::size_t i = 0;
        for (const auto& [k, v] : d) {
            if (k != m[i].first || v != Value(m[i].second) || d.integer(k) != m[i].second)
                return false;
            ++i;
        }
        return true;
    };
    // Keys of 0 to 9 code units, U+0000 and surrogates included, so that the
    // hash sees every tail length.
    auto key = [](std::uint32_t n) {
        std::u16string units;
        for (std::uint32_t k = 0; k < n % 10; ++k)
            units.push_back(static_cast<char16_t>(k == 1   ? 0
                                                  : k == 2 ? 0xD800
                                                           : 'a' + (n + k) % 7));
        units.push_back(static_cast<char16_t>(n));
        return String::fromUnits(units);
    };
    const struct {
        std::uint32_t keySpace;  // distinct keys in play
        int setsPerErase;        // how much more often keys come than go
    } cases[] = {{8, 2}, {40, 3}, {400, 4}, {1500, 8}};
    std::uint32_t random = 12345;
    auto next = [&] { return random = random * 1103515245u + 12345u; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keySpace);
        Dictionary d;
        Model m;
        for (int step = 0; step < 8000; ++step) {
            const String k = key((next() >> 8) % c.keySpace);
            const int op = static_cast<int>((next() >> 8) % (c.setsPerErase + 1));
            if (op < c.setsPerErase) {
                d.set(k, step);
                auto it = modelFind(m, k);
                if (it == m.end())
                    m.emplace_back(k, step);
                else
                    it->second = step;
            } else {
                auto it = modelFind(m, k);
                EXPECT_EQ(d.erase(k), it != m.end());
                if (it != m.end())
                    m.erase(it);
            }
            const String probe = key((next() >> 8) % (c.keySpace + 5));
            auto it = modelFind(m, probe);
            ASSERT_EQ(d.contains(probe), it != m.end()) << step;
            if (step % 499 == 0) {
                ASSERT_TRUE(same(d, m)) << step;
                Dictionary copy(d);
                Dictionary assigned{{"x", 1}};
                assigned = d;
                EXPECT_TRUE(same(copy, m));
                EXPECT_TRUE(same(assigned, m));
                copy.set(key(c.keySpace + 1), -1);  // copies do not share their table
                EXPECT_FALSE(d.contains(key(c.keySpace + 1)));
                EXPECT_EQ(copy.integer(key(c.keySpace + 1)), -1);
            }
        }
        ASSERT_TRUE(same(d, m));
        d.clear();
        m.clear();
        EXPECT_TRUE(same(d, m));
        EXPECT_FALSE(d.contains(key(0)));
        for (std::uint32_t n = 0; n < c.keySpace; ++n) {  // refilled after clear()
            d.set(key(n), static_cast<int>(n));
            m.emplace_back(key(n), static_cast<int>(n));
        }
        EXPECT_TRUE(same(d, m));
    }
}
