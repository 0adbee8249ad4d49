using System;
using System.Linq;
using Korvat.Nfc.Ndef;
using Xunit;

namespace Korvat.Nfc.Tests
{
    public class NdefTests
    {
        private const string UriMessage = "D1 01 17 55 02 6578616D706C652E636F6D2F6B6F727661742D6E6663";  // https://www.example.com/korvat-nfc

        [Fact]
        public void AUriRecordIsReadWithItsPrefixExpandedAndWrittenAlike()
        {
            var message = NdefMessage.Parse(Bytes.Of(UriMessage));
            var uri = Assert.IsType<UriRecord>(Assert.Single(message.Records));
            Assert.Equal("https://www.example.com/korvat-nfc", uri.Uri);
            Assert.Equal(Bytes.Of(UriMessage), new NdefMessage(new UriRecord(uri.Uri)).ToByteArray());
        }

        [Theory]
        [InlineData("https://www.example.com", 0x02)]   // longer than "https://"
        [InlineData("http://example.com", 0x03)]
        [InlineData("urn:epc:id:sgtin", 0x1E)]          // longer than "urn:" and "urn:epc:"
        [InlineData("urn:nfc:ext", 0x23)]
        [InlineData("tel:+358401234567", 0x05)]
        [InlineData("geo:60.1,24.9", 0x00)]             // no prefix
        public void AUriIsAbbreviatedByItsLongestPrefix(string uri, byte code)
        {
            var record = new UriRecord(uri);
            Assert.Equal(code, record.Payload[0]);
            Assert.Equal(uri, Assert.IsType<UriRecord>(NdefMessage.Parse(new NdefMessage(record).ToByteArray()).Records[0]).Uri);
        }

        [Theory]
        [InlineData("D1 01 08 54 02 656E 48656C6C6F", "en", "Hello")]                 // UTF-8
        [InlineData("D1 01 09 54 82 656E FFFE 48006900", "en", "Hi")]                 // UTF-16, little-endian mark
        [InlineData("D1 01 07 54 82 656E 00480069", "en", "Hi")]                      // UTF-16 without a mark: big-endian
        [InlineData("B1 01 02 54 02 65  36 00 01 6E  56 00 03 486921", "en", "Hi!")] // three chunks joined
        public void TextRecordsAreDecoded(string hex, string language, string text)
        {
            var record = Assert.IsType<TextRecord>(Assert.Single(NdefMessage.Parse(Bytes.Of(hex)).Records));
            Assert.Equal((language, text), (record.Language, record.Text));
        }

        [Fact]
        public void AMessageOfSeveralKindsSurvivesARoundTrip()
        {
            var payload = Enumerable.Range(0, 300).Select(i => (byte)i).ToArray();  // a long record: 4-byte length
            var written = new NdefMessage(
                new TextRecord("pt-BR", "Olá, mundo"),
                new MimeRecord("application/octet-stream", payload, new byte[] { 0x49, 0x44 }),
                new UriRecord("mailto:someone@example.com"),
                new NdefRecord(NdefTypeNameFormat.External, System.Text.Encoding.ASCII.GetBytes("example.com:t"), null, new byte[] { 1 }));
            byte[] bytes = written.ToByteArray();
            Assert.Equal((0x91, 0x0A), (bytes[0], bytes[21]));  // MB, SR, well-known; then IL, media, a 4-byte length
            var read = NdefMessage.Parse(bytes);
            Assert.Equal(written.Records, read.Records);
            Assert.Equal(new[] { typeof(TextRecord), typeof(MimeRecord), typeof(UriRecord), typeof(NdefRecord) }, read.Records.Select(r => r.GetType()));
            var mime = (MimeRecord)read.Records[1];
            Assert.Equal(("application/octet-stream", Bytes.Hex(payload), "ID"), (mime.MimeType, Bytes.Hex(mime.Payload), System.Text.Encoding.ASCII.GetString(mime.Id)));
            Assert.Equal(bytes, read.ToByteArray());
        }

        [Fact]
        public void EmptyMessagesAndTheEmptyRecord()
        {
            Assert.Empty(NdefMessage.Parse(new byte[0]).Records);
            Assert.Empty(new NdefMessage().ToByteArray());
            var empty = Assert.Single(NdefMessage.Parse(Bytes.Of("D0 00 00")).Records);
            Assert.Equal(NdefTypeNameFormat.Empty, empty.Tnf);
            Assert.Equal(Bytes.Of("D0 00 00"), new NdefMessage(empty).ToByteArray());
        }

        [Theory]
        [InlineData("91 01 01 55 00", 5, "without the message end flag")]
        [InlineData("51 01 01 55 00", 0, "lacks the message begin flag")]
        [InlineData("91 01 01 55 00  D1 01 01 55 00", 5, "has the message begin flag")]
        [InlineData("D1 01 05 55 00", 0, "runs past the end")]
        [InlineData("C1 01 00 00 01 00 55", 0, "runs past the end")]              // a 4-byte length of 65536
        [InlineData("D1 01 01 55 00  51 01 01 55 00", 5, "bytes follow")]
        [InlineData("D7 00 00", 0, "reserved")]
        [InlineData("D0 01 00 55", 0, "an empty record has")]
        [InlineData("D6 00 00", 0, "'unchanged'")]
        [InlineData("B1 01 01 54 02  36 01 01 54 65", 5, "a following chunk has a type")]
        [InlineData("F1 01 01 54 02", 0, "a chunk that is not the last")]
        [InlineData("D1 01 02 54 05 65", 0, "language of 5 bytes")]
        [InlineData("D1 01 02 55 00 FF", 0, "")]                                   // not UTF-8
        [InlineData("D1", 0, "runs past the end")]
        // Chunks: an empty record that is chunked, a chunk after the first with an ID length (even of
        // 0) or with the message end flag and more to follow, a chunked record the message ends in.
        [InlineData("B0 00 00  56 00 01 41", 0, "an empty record is chunked")]
        [InlineData("B0 00 00  56 00 00", 0, "an empty record is chunked")]
        [InlineData("B1 01 01 54 02  5E 00 01 00 65", 5, "a following chunk has")]
        [InlineData("B1 01 01 54 02  3E 00 01 02 6964 65  56 00 01 6E", 5, "a following chunk has")]
        [InlineData("B1 01 01 54 02  76 00 01 65", 5, "a chunk that is not the last")]
        [InlineData("B1 01 01 54 02  36 00 01 65", 9, "runs past the end")]
        [InlineData("B1 01 01 54 02  51 01 01 54 65", 5, "a following chunk has")]
        public void MalformedMessagesAreRefusedWithTheOffsetOfTheFault(string hex, int offset, string reason)
        {
            var e = Assert.Throws<FormatException>(() => NdefMessage.Parse(Bytes.Of(hex)));
            Assert.Equal(offset, e.Data["Offset"]);
            Assert.Contains(reason, e.Message);
        }

        // Valid messages cut, lengthened, and with bytes and bits changed at random (a fixed seed):
        // whatever the bytes, Parse gives a message, which writes and reads back as the same records,
        // or refuses them with a FormatException, and nothing else.
        [Theory]
        [InlineData("D1 01 08 54 02 656E 48656C6C6F")]
        [InlineData("B1 01 02 54 02 65  36 00 01 6E  56 00 03 486921")]
        [InlineData("8A 0F 00000003 02 6170706C69636174696F6E2F782D79 4944 010203  11 01 01 55 00  54 00 00")]
        [InlineData("D1 01 17 55 02 6578616D706C652E636F6D2F6B6F727661742D6E6663")]
        [InlineData("D1 01 09 54 82 656E FFFE 48006900")]
        [InlineData("B5 00 00  56 00 01 41")]                  // one byte from the chunked empty record
        public void MutatedMessagesParseOrFailWithAFormatException(string hex)
        {
            byte[] valid = Bytes.Of(hex);
            Assert.NotEmpty(NdefMessage.Parse(valid).Records);
            var random = new Random(valid.Length * 7919 + valid[^1]);
            for (int round = 0; round < 20000; round++)
            {
                byte[] bytes = Mutate(valid, random);
                NdefMessage message;
                try
                {
                    message = NdefMessage.Parse(bytes);
                }
                catch (FormatException)
                {
                    continue;
                }
                catch (Exception e)
                {
                    Assert.Fail($"{Bytes.Hex(bytes)}: {e.GetType().Name} instead of a FormatException: {e.Message}");
                    return;
                }
                Assert.Equal(message.Records, NdefMessage.Parse(message.ToByteArray()).Records);
            }
        }

        private static byte[] Mutate(byte[] valid, Random random)
        {
            var bytes = valid.ToList();
            for (int edits = random.Next(1, 4); edits > 0; edits--)
            {
                int at = random.Next(bytes.Count + 1);
                switch (random.Next(6))
                {
                    case 0 when at < bytes.Count: bytes[at] ^= (byte)(1 << random.Next(8)); break;      // a bit flipped
                    case 1 when at < bytes.Count: bytes[at] = (byte)random.Next(256); break;           // a byte changed
                    case 2: bytes.Insert(at, (byte)random.Next(256)); break;                           // a byte more
                    case 3 when at < bytes.Count: bytes.RemoveAt(at); break;                           // a byte less
                    case 4: bytes.RemoveRange(at, bytes.Count - at); break;                            // cut short
                    case 5 when at < bytes.Count: bytes[at] = (byte)((bytes[at] & 0xF8) | random.Next(8)); break;  // another type name format
                }
            }
            return bytes.ToArray();
        }

        [Theory]
        [InlineData("")]
        [InlineData("e n")]
        [InlineData("fr_FR")]
        [InlineData("abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijkl")]  // 64 characters
        public void ATextRecordRefusesALanguageCodeThatIsNone(string language)
        {
            Assert.Throws<ArgumentException>(() => new TextRecord(language, "x"));
        }

        [Theory]
        [InlineData("plain")]
        [InlineData("/plain")]
        [InlineData("text/pl ain")]
        public void AMimeRecordRefusesATypeThatIsNone(string mimeType)
        {
            Assert.Throws<ArgumentException>(() => new MimeRecord(mimeType, new byte[0]));
        }
    }
}
