using System;
using System.Runtime.InteropServices;
using System.Text;
using Korvat.Nfc.Interop;
using Xunit;

namespace Korvat.Nfc.Tests
{
    // The library's window messages as the reader decodes them: which event each raises and what it
    // carries, read from memory laid out as the library lays it (the record, the error pair, the
    // reader record), and the messages that raise nothing. Reader records and the reader list.
    public class LibraryMessageTests
    {
        private const uint Find = 0xC101, Enable = 0xC102, PnpFind = 0xC103, PnpLoss = 0xC104, Other = 0xC105;
        private static readonly LibraryMessages Messages = new LibraryMessages(Find, Enable, PnpFind, PnpLoss);

        private const string RecordA = "01000000 07000000 4400 20 07 045A3C912B6E80000000 05 0578807002";
        private const string Pair = "5100C080 03000000";  // KORVAT_NFC_E_CARD_ERROR_1, detail 3

        // A reader record: record_size, category, port name and reader name as the header places them.
        internal static byte[] ReaderRecord(string port, byte category, string name, uint size = 200)
        {
            var record = new byte[200];
            BitConverter.GetBytes(size).CopyTo(record, 0);
            record[4] = category;
            Encoding.ASCII.GetBytes(port).CopyTo(record, 8);
            Encoding.UTF8.GetBytes(name).CopyTo(record, 72);
            return record;
        }

        private static string Describe(EventArgs args) => args switch
        {
            null => "nothing",
            TargetFoundEventArgs found => $"found {found.Target.TargetNumber} {Bytes.Hex(found.Target.Record)}",
            TargetLostEventArgs lost => $"lost {lost.TargetNumber}",
            ReaderErrorEventArgs error => $"error {error.ErrorName} {error.Detail}",
            TargetAccessEventArgs access => $"access {access.TargetNumber} {access.Access}",
            ReaderEventArgs reader => $"reader {reader.Reader}",
            _ => args.GetType().Name,
        };

        // message, wParam, lParam: the hex of the memory it points to, or "=n" for the number itself;
        // the event raised and what it says.
        public static readonly TheoryData<uint, long, string, string, string> Cases = new TheoryData<uint, long, string, string, string>
        {
            { Find, 1, RecordA, "TargetFound", "found 7 " + RecordA.Replace(" ", "") },
            { Find, 2, "=7", "TargetLost", "lost 7" },
            { Find, 2, "=4294967295", "TargetLost", "lost 4294967295" },                  // the whole 32-bit range
            { Find, 0, Pair, "ReaderError", "error KORVAT_NFC_E_CARD_ERROR_1 3" },
            { Enable, 2, "=7", "AccessChanged", "access 7 Waiting" },
            { Enable, 1, "=7", "AccessChanged", "access 7 Enabled" },
            { PnpFind, 1, "reader", "ReaderAdded", "reader PCSC3 (category 2): Lecteur \u00e9 0" },
            { PnpLoss, 2, "reader", "ReaderRemoved", "reader PCSC3 (category 2): Lecteur \u00e9 0" },
            // Nothing: no record, an unknown wParam, a message of the other pair's kind, another message.
            { Find, 1, "=0", null, "nothing" },
            { Find, 0, "=0", null, "nothing" },
            { Find, 3, "=7", null, "nothing" },
            { Enable, 3, "=7", null, "nothing" },
            { PnpFind, 2, "reader", null, "nothing" },
            { PnpLoss, 1, "reader", null, "nothing" },
            { PnpFind, 1, "=0", null, "nothing" },
            { Other, 1, RecordA, null, "nothing" },
        };

        [Theory]
        [MemberData(nameof(Cases))]
        public void EachMessageRaisesItsEventWithWhatItCarries(uint message, long wParam, string lParam, string eventName, string says)
        {
            byte[] memory = lParam == "reader" ? ReaderRecord("PCSC3", 2, "Lecteur \u00e9 0") : lParam.StartsWith("=") ? null : Bytes.Of(lParam);
            IntPtr pointer = memory == null ? new IntPtr(long.Parse(lParam.Substring(1))) : Marshal.AllocHGlobal(memory.Length);
            try
            {
                if (memory != null) Marshal.Copy(memory, 0, pointer, memory.Length);
                var (name, args) = Messages.Decode(message, new IntPtr(wParam), pointer);
                Assert.Equal((eventName, says), (name, Describe(args)));
            }
            finally
            {
                if (memory != null) Marshal.FreeHGlobal(pointer);
            }
        }

        [Fact]
        public void AReaderRecordGivesItsNamesToTheFirstNulOrTheFieldsEnd()
        {
            byte[] record = ReaderRecord("SIM1", 0, "");
            Encoding.ASCII.GetBytes(new string('P', 64)).CopyTo(record, 8);      // no NUL in the port field
            Encoding.UTF8.GetBytes("Reader \u00fc\u00df\0junk").CopyTo(record, 72);
            ReaderInfo reader = ReaderInfo.Decode(record);
            Assert.Equal((new string('P', 64), (byte)0, "Reader \u00fc\u00df"), (reader.PortName, reader.Category, reader.Name));
        }

        [Theory]
        [InlineData(199, 200, "has 200 bytes, not 199")]
        [InlineData(200, 24, "record_size is at least 200, not 24")]
        [InlineData(200, 0, "record_size is at least 200, not 0")]
        public void BytesThatAreNoReaderRecordAreRefused(int length, uint recordSize, string reason)
        {
            byte[] record = ReaderRecord("SIM0", 0, "Simulated reader", recordSize);
            Array.Resize(ref record, length);
            var e = Assert.Throws<FormatException>(() => ReaderInfo.Decode(record));
            Assert.Contains(reason, e.Message);
        }

        [Fact]
        public void AListGivesItsCountOfRecordsInOrderAndIgnoresTheRest()
        {
            var buffer = new byte[4 * 200];
            ReaderRecord("SIM0", 0, "first").CopyTo(buffer, 0);
            ReaderRecord("COM3", 1, "COM3").CopyTo(buffer, 200);
            ReaderRecord("PCSC0", 2, "third").CopyTo(buffer, 400);  // beyond the count: not read
            var readers = ReaderInfo.DecodeList(buffer, 2);
            Assert.Equal(new[] { new ReaderInfo("SIM0", 0, "first"), new ReaderInfo("COM3", 1, "COM3") }, readers);
            Assert.Empty(ReaderInfo.DecodeList(new byte[0], 0));
            Assert.Throws<FormatException>(() => ReaderInfo.DecodeList(buffer, 5));
        }
    }
}
