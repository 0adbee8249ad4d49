using System.Collections.Generic;
using System.Linq;
using System.Text.RegularExpressions;
using Xunit;

namespace Korvat.Nfc.Tests
{
    // The binding's codes and names are those of the C headers, and the headers' codes are those of
    // the project's single list (portable/errors/NfcErrorCodes.h): nothing missing, nothing extra.
    public class ErrorCodeTests
    {
        private static Dictionary<string, uint> HeaderCodes() =>
            new[] { "include/korvat_nfc.h", "include/korvat_nfc_tags.h" }
                .SelectMany(file => Regex.Matches(Repository.Read(file), @"#define\s+(KORVAT_(?:NFC|TAGS)_E_\w+)\s+0x([0-9A-Fa-f]+)u"))
                .ToDictionary(m => m.Groups[1].Value, m => System.Convert.ToUInt32(m.Groups[2].Value, 16));

        [Fact]
        public void TheBindingNamesEveryCodeOfTheHeadersAndNoOther()
        {
            var header = HeaderCodes();
            var binding = NfcErrorNames.All.ToDictionary(pair => pair.Value, pair => pair.Key);
            Assert.NotEmpty(header);
            Assert.Equal(header.OrderBy(p => p.Key), binding.OrderBy(p => p.Key));
        }

        [Fact]
        public void TheHeadersHoldExactlyTheSingleListsCodes()
        {
            var listed = Regex.Matches(Repository.Read("portable/errors/NfcErrorCodes.h"), @"X\((KORVAT_\w+)\)").Select(m => m.Groups[1].Value);
            Assert.Equal(listed.OrderBy(n => n), HeaderCodes().Keys.OrderBy(n => n));
        }

        [Theory]
        [InlineData(0x80C0000Bu, 0u, "korvatlib_nfc_open failed: KORVAT_NFC_E_NO_PLUGIN (0x80C0000B), detail 0x00000000", "KORVAT_NFC_E_NO_PLUGIN")]
        [InlineData(0x80C00206u, 0x6A82u, "korvatlib_nfc_open failed: KORVAT_TAGS_E_REFUSED (0x80C00206), detail 0x00006A82", "KORVAT_TAGS_E_REFUSED")]
        [InlineData(0xE053000Au, 3u, "korvatlib_nfc_open failed: error (0xE053000A), detail 0x00000003", null)]
        public void AnExceptionCarriesCodeDetailAndName(uint code, uint detail, string message, string name)
        {
            var e = new NfcException("korvatlib_nfc_open", code, detail);
            Assert.Equal((code, detail, name, message), (e.Code, e.Detail, e.ErrorName, e.Message));
            Assert.Equal(unchecked((int)code), e.HResult);
        }
    }
}
