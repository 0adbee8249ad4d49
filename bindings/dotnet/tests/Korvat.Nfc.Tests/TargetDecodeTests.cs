using System;
using Xunit;

namespace Korvat.Nfc.Tests
{
    // Target information records as the library writes them (little-endian, packed), decoded.
    public class TargetDecodeTests
    {
        private const string RecordA = "01000000 07000000 4400 20 07 045A3C912B6E80000000 05 0578807002";
        private const string RecordB = "08000000 09000000 501A2B3C4D0000000000718F 01 10";
        private const string RecordF = "04000000 04 000000 0B000000 012E4C5D6E7F8091 03014B024F4993FF 02 12FC";

        [Fact]
        public void ATypeARecordGivesItsFields()
        {
            var a = Assert.IsType<Target14443A>(Target.Decode(Bytes.Of(RecordA)));
            Assert.Equal((TargetKinds.Iso14443A, 7u, (ushort)0x0044, (byte)0x20), (a.Kind, a.TargetNumber, a.SensRes, a.SelRes));
            Assert.Equal(("045A3C912B6E80", "0578807002"), (Bytes.Hex(a.Nfcid1), Bytes.Hex(a.Ats)));
        }

        [Fact]
        public void ATypeBRecordGivesItsFields()
        {
            var b = Assert.IsType<Target14443B>(Target.Decode(Bytes.Of(RecordB)));
            Assert.Equal((TargetKinds.Iso14443B, 9u, "501A2B3C4D0000000000718F", "10"), (b.Kind, b.TargetNumber, Bytes.Hex(b.Atqb), Bytes.Hex(b.Attrib)));
        }

        [Fact]
        public void An18092RecordGivesItsFieldsAfterThePadding()
        {
            var f = Assert.IsType<Target18092>(Target.Decode(Bytes.Of(RecordF)));
            Assert.Equal((TargetKinds.Iso18092At424, 424, (byte)4, 11u), (f.Kind, f.KilobitsPerSecond, f.Id, f.TargetNumber));
            Assert.Equal(("012E4C5D6E7F8091", "03014B024F4993FF", "12FC"), (Bytes.Hex(f.Nfcid2), Bytes.Hex(f.Pad), Bytes.Hex(f.RequestData)));
        }

        [Theory]
        [InlineData(RecordA, 28)]
        [InlineData(RecordB, 22)]
        [InlineData(RecordF, 31)]
        public void TheRecordKeptIsTheRecordWithoutWhatFollows(string record, int size)
        {
            byte[] bytes = Bytes.Of(record + "EEEEEE");
            Target target = Target.Decode(bytes);
            Assert.Equal(Bytes.Hex(bytes)[..(size * 2)], Bytes.Hex(target.Record));
        }

        [Theory]
        [InlineData("010000", "at least 4 bytes")]                                              // no target_device
        [InlineData("10000000 07000000", "unknown target_device 0x00000010")]
        [InlineData("01000000 07000000 4400 20 07 045A3C912B6E80000000", "at least 23 bytes")] // no ATS_size
        [InlineData("01000000 07000000 4400 20 0B 045A3C912B6E80000000 00", "NFCID1_size 11")]
        [InlineData("01000000 07000000 4400 20 07 045A3C912B6E80000000 05 05788070", "variable field of 5 bytes")]
        [InlineData("08000000 09000000 501A2B3C4D0000000000718F 02 10", "variable field of 2 bytes")]
        [InlineData("02000000 04 000000 0B000000 012E4C5D6E7F8091 03014B024F4993", "at least 29 bytes")]
        public void BytesThatAreNoRecordAreRefused(string record, string reason)
        {
            var e = Assert.Throws<FormatException>(() => Target.Decode(Bytes.Of(record)));
            Assert.Contains(reason, e.Message);
        }
    }
}
