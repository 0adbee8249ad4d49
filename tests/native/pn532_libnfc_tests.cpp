// Cross-check of the PN532 emulator with a client nobody here wrote: libnfc's nfc-list and
// nfc-poll (pn532_uart driver) must list the scenario's cards with the same identifiers, and
// nfc-mfultralight must dump and write a Type 2 Tag's pages as the tag model holds them. Their
// exit status says nothing (nfc-list exits 0 when it cannot open the device), so the output
// is parsed.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Pn532TestSupport.h"
#include "SimScenario.h"

namespace {

std::string squeeze(const std::string &text)
{
    // libnfc pads its hex dumps with two spaces; compare with single spaces.
    std::string out;
    for (char c : text) {
        if (!(c == ' ' && !out.empty() && out.back() == ' ')) {
            out += c;
        }
    }
    return out;
}

class Pn532Libnfc : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(std::string(KORVAT_NFC_LIST).find("NOTFOUND") == std::string::npos &&
                    std::string(KORVAT_NFC_POLL).find("NOTFOUND") == std::string::npos &&
                    std::string(KORVAT_NFC_MFULTRALIGHT).find("NOTFOUND") == std::string::npos)
            << "nfc-list / nfc-poll / nfc-mfultralight (Debian packages libnfc-bin and libnfc-examples) are needed "
               "for this cross-check";
    }

    std::string run(const std::string &program, const std::vector<std::string> &arguments, const std::string &pty)
    {
        std::vector<std::string> command{program};
        command.insert(command.end(), arguments.begin(), arguments.end());
        int status = 0;
        return squeeze(pn532test::runProgram(
            command, {"LIBNFC_DEVICE=pn532_uart:" + pty, "LIBNFC_AUTO_SCAN=false", "LIBNFC_LOG_LEVEL=1"}, status, 60));
    }
};

const std::string Cards =
    "card A 0 600000 nfcid1=04112233445566 sens_res=0344 sel_res=20 ats=067577810280\n"
    "card B 0 600000 atqb=5012345678000000000081F1 attrib=01\n"
    "card F 0 600000 nfcid2=012E4C123456789A pad=03014B024F4993FF rd=12FC\n";

void expectAll(const std::string &output, const std::vector<std::string> &lines)
{
    for (const std::string &line : lines) {
        EXPECT_NE(output.find(line), std::string::npos) << "missing: " << line << "\n" << output;
    }
}

TEST_F(Pn532Libnfc, NfcListListsEachKindWithTheScenariosIdentifiers)
{
    pn532test::EmulatorProcess emulator({"--scenario", pn532test::writeScenario("libnfc.scenario", Cards)});
    ASSERT_TRUE(emulator.started());
    const std::string out = run(KORVAT_NFC_LIST, {}, emulator.path());
    expectAll(out, {
                       "NFC device: user defined device opened",
                       "1 ISO14443A passive target(s) found",
                       "ATQA (SENS_RES): 03 44",
                       "UID (NFCID1): 04 11 22 33 44 55 66",
                       "SAK (SEL_RES): 20",
                       "ATS: 75 77 81 02 80",
                       "1 Felica (212 kbps) passive target(s) found",
                       "1 Felica (424 kbps) passive target(s) found",
                       "ID (NFCID2): 01 2e 4c 12 34 56 78 9a",
                       "Parameter (PAD): 03 01 4b 02 4f 49 93 ff",
                       "System Code (SC): 12 fc",
                       "1 ISO14443B passive target(s) found",
                       "PUPI: 12 34 56 78",
                       "Application Data: 00 00 00 00",
                       "Protocol Info: 00 81 f1",
                   });
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
}

TEST_F(Pn532Libnfc, NfcPollFindsEachKindAndSeesItLeave)
{
    const struct {
        const char *scenario;
        std::vector<std::string> expected;
    } cases[] = {
        {"card A 0 1500 nfcid1=04A1A2A3A4A5A6 sens_res=0344 sel_res=20 ats=0578807002\n",
         {"ISO/IEC 14443A (106 kbps) target:", "UID (NFCID1): 04 a1 a2 a3 a4 a5 a6", "ATS: 78 80 70 02"}},
        {"card B 0 1500 atqb=50B1B2B3B4000000000071F1 attrib=01\n",
         {"ISO/IEC 14443-4B (106 kbps) target:", "PUPI: b1 b2 b3 b4"}},
        {"card F 0 1500 nfcid2=01F1F2F3F4F5F6F7 pad=03014B024F4993FF rd=12FC\n",
         {"FeliCa (212 kbps) target:", "ID (NFCID2): 01 f1 f2 f3 f4 f5 f6 f7"}},
    };
    for (const auto &c : cases) {
        pn532test::EmulatorProcess emulator({"--scenario", pn532test::writeScenario("poll.scenario", c.scenario)});
        ASSERT_TRUE(emulator.started());
        const std::string out = run(KORVAT_NFC_POLL, {}, emulator.path());
        std::vector<std::string> expected = c.expected;
        expected.push_back("NFC reader: user defined device opened");
        expected.push_back("Waiting for card removing...");
        expected.push_back("done.");
        expectAll(out, expected);
    }
}

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The memory of the scenario's Type 2 Tag as the model lays it out, and the scenario file.
Bytes type2Memory(const std::string &text)
{
    sim::Scenario scenario;
    uint32_t line = 0;
    EXPECT_TRUE(sim::parseScenario(text, scenario, line)) << "line " << line;
    sim::CardModels models;
    sim::makeCardModels(scenario.cards.at(0), models);
    EXPECT_TRUE(models.type2 != nullptr);
    return models.type2 ? models.type2->memory() : Bytes();
}

TEST_F(Pn532Libnfc, NfcMfultralightDumpsEachSizeOfType2TagPageForPage)
{
    const struct {
        const char *scenario;
        const char *kind;   // how nfc-mfultralight names the tag from its GET_VERSION answer
        const char *pages;  // its summary of the read
    } cases[] = {
        {"card T2 0 600000 size=144 uid=04C1C2C3C4C5C6\nuri https://example.com/small\n", "(144 user bytes)",
         "Done, 45 of 45 pages read (0 pages failed)."},
        {"card T2 0 600000 size=504 uid=04D1D2D3D4D5D6\ntext en A medium tag\nuri https://example.com/m\n",
         "(504 user bytes)", "Done, 135 of 135 pages read (0 pages failed)."},
        {"card T2 0 600000 size=888 uid=04E1E2E3E4E5E6 readonly\ntext en A large tag, locked\n",
         "(888 user bytes)", "Done, 231 of 231 pages read (0 pages failed)."},
    };
    for (const auto &c : cases) {
        pn532test::EmulatorProcess emulator({"--scenario", pn532test::writeScenario("t2.scenario", c.scenario)});
        ASSERT_TRUE(emulator.started());
        const std::string dump = pn532test::writeScenario("t2.dump", "");
        const std::string out = run(KORVAT_NFC_MFULTRALIGHT, {"r", dump}, emulator.path());
        expectAll(out, {"Using MIFARE Ultralight card with UID", c.kind, c.pages});
        EXPECT_EQ(readFile(dump), type2Memory(c.scenario)) << c.scenario << "\n" << out;
    }
}

TEST_F(Pn532Libnfc, NfcMfultralightWritesPagesThatPersistAndFailsOnThePagesTheTagRefuses)
{
    const std::string text = "card T2 0 600000 size=504 uid=04F1F2F3F4F5F6\ntext en before\n";
    pn532test::EmulatorProcess emulator({"--scenario", pn532test::writeScenario("t2w.scenario", text)});
    ASSERT_TRUE(emulator.started());
    // A new NDEF TLV and a page near the end of the data area; the tool writes every page from 4
    // on, with libnfc's one-frame COMPATIBILITY_WRITE, and asks (end of input: no) before the
    // capability container, lock bytes and UID.
    Bytes wanted = type2Memory(text);
    const Bytes tlv{0x03, 0x0A, 0xD1, 0x01, 0x06, 0x54, 0x02, 0x65, 0x6E, 0x61, 0x66, 0x74, 0xFE};
    std::copy(tlv.begin(), tlv.end(), wanted.begin() + 4 * 6 + 2);  // where the NDEF TLV is
    const size_t lastDataPage = 4 + 504 / 4 - 1;
    const Bytes page{0xCA, 0xFE, 0xF0, 0x0D};
    std::copy(page.begin(), page.end(), wanted.begin() + static_cast<long>(4 * lastDataPage));
    const std::string source = pn532test::writeScenario("t2w.source", "");
    writeFile(source, wanted);
    const std::string written = run(KORVAT_NFC_MFULTRALIGHT, {"w", source}, emulator.path());
    // The four reserved pages after the dynamic lock bytes answer NAK.
    expectAll(written, {"Done, 126 of 135 pages written (5 pages skipped, 4 pages failed)."});
    const std::string dump = pn532test::writeScenario("t2w.dump", "");
    const std::string read = run(KORVAT_NFC_MFULTRALIGHT, {"r", dump}, emulator.path());
    expectAll(read, {"Done, 135 of 135 pages read (0 pages failed)."});
    EXPECT_EQ(readFile(dump), wanted) << written << read;
}

}  // namespace
