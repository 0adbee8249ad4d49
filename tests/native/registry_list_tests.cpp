// Splitting of the registry's list values, as the library and the simulator read
// category_name_list and port_name_list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NfcRegistryList.h"

TEST(RegistryList, ItemsAreSplitAtCommasTrimmedOfSpacesAndKeepTheirPositions)
{
    struct Case {
        std::string value;
        size_t most;
        std::vector<std::string> items;
    } cases[] = {
        {"USB, F2PORT ,COM", 4096, {"USB", "F2PORT", "COM"}},
        {"A, ,C", 4096, {"A", "", "C"}},       // an empty item keeps its position
        {"COM1,", 4096, {"COM1", ""}},          // a trailing comma gives an empty last item
        {"   ", 4096, {""}},                    // blanks only: one empty item
        {"SIM\t, x", 4096, {"SIM\t", "x"}},     // only spaces are trimmed
        {"", 4096, {}},
        {"COM1,SIM7,USB0", 7, {"COM1", "SI"}},  // cut before splitting: a name across the cut shortens
        {"COM1", 0, {}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> items{"left over"};
        EXPECT_EQ(NfcRegistryList::parse(c.value, c.most, items), c.items.size()) << c.value;
        EXPECT_EQ(items, c.items) << c.value;
    }
    EXPECT_EQ(NfcRegistryList::trimSpaces("  a b  "), "a b");
}
