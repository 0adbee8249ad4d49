// The signer's common name against "Ravo Corporation", in UTF-16, with only ASCII letter case
// ignored; and the form in which a refused name is traced.
#include <gtest/gtest.h>

#include <string>

#include "NfcSignerName.h"

namespace {

TEST(SignerName, OnlyTheWholeNameInAsciiLettersOfEitherCaseIsTheMaker)
{
    const struct {
        const char *what;
        std::u16string name;
        bool expected;
    } cases[] = {
        {"as written", u"Ravo Corporation", true},
        {"capitals", u"RAVO CORPORATION", true},
        {"small letters", u"ravo corporation", true},
        {"longer", u"Ravo Corporation Ltd", false},
        {"shorter", u"Ravo Corporatio", false},
        {"trailing blank", u"Ravo Corporation ", false},
        {"empty", u"", false},
        {"NUL inside", std::u16string(u"Ravo Corporation\0x", 18), false},
        {"full-width letters", u"\uFF32\uFF41\uFF56\uFF4F \uFF23\uFF4F\uFF52\uFF50\uFF4F\uFF52\uFF41\uFF54\uFF49\uFF4F\uFF4E",
         false},
        {"Cyrillic o", u"Rav\u043E Corporation", false},
        {"no-break space", u"Ravo\u00A0Corporation", false},
        {"dotless i folded nowhere", u"Ravo Corporat\u0131on", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(NfcSignerName::isExpected(c.name), c.expected) << c.what;
    }
}

TEST(SignerName, TracedNameShowsEveryCharacterOutsidePrintableAscii)
{
    EXPECT_EQ(NfcSignerName::printable(u"Ravo Corporation Ltd"), "Ravo Corporation Ltd");
    EXPECT_EQ(NfcSignerName::printable(u"\uFF32a\\\n"), "\\uFF32a\\u005C\\u000A");
}

} // namespace
