using System;
using System.Collections.Generic;
using System.Collections.ObjectModel;
using System.IO;
using System.Linq;
using System.Text;

namespace Korvat.Nfc.Ndef
{
    /// <summary>
    /// An NDEF message: its records, read from bytes (<see cref="Parse"/>) or written to bytes
    /// (<see cref="ToByteArray"/>). A message of no records is the "initialised but empty" tag's.
    /// </summary>
    public sealed class NdefMessage
    {
        private const byte MessageBegin = 0x80, MessageEnd = 0x40, Chunk = 0x20, ShortRecord = 0x10, IdLength = 0x08;

        public NdefMessage(IEnumerable<NdefRecord> records)
        {
            if (records == null) throw new ArgumentNullException(nameof(records));
            var list = records.ToList();
            if (list.Any(r => r == null)) throw new ArgumentException("a message holds no null record", nameof(records));
            Records = new ReadOnlyCollection<NdefRecord>(list);
        }

        public NdefMessage(params NdefRecord[] records) : this((IEnumerable<NdefRecord>)records) { }

        public IReadOnlyList<NdefRecord> Records { get; }

        /// <summary>
        /// Reads a message. Chunked records are joined into one; URI, Text and MIME records come
        /// as their types. Throws <see cref="FormatException"/> (with the byte offset of the fault
        /// in its Data["Offset"]), and no other exception, for bytes that are no valid message: a
        /// length past the end, flags out of order, bytes after the record with the message end
        /// flag, a chunk with the message end flag and more to follow, a following chunk whose type
        /// name format is not 'unchanged' or that has a type or an ID length, an empty record in
        /// chunks, a chunked record the message ends in.
        /// </summary>
        public static NdefMessage Parse(byte[] bytes)
        {
            if (bytes == null) throw new ArgumentNullException(nameof(bytes));
            var records = new List<NdefRecord>();
            int offset = 0;
            bool ended = bytes.Length == 0;
            while (!ended)
            {
                int start = offset;
                var first = ReadRecordHeader(bytes, ref offset, out byte flags, out byte[] type, out byte[] id, out byte[] payload);
                if (((flags & MessageBegin) != 0) != (records.Count == 0))
                    throw Fault(start, records.Count == 0 ? "the first record lacks the message begin flag" : "a record after the first has the message begin flag");
                if (first == NdefTypeNameFormat.Unchanged) throw Fault(start, "a record that begins has the type name format 'unchanged'");
                if (first == NdefTypeNameFormat.Empty && (flags & Chunk) != 0) throw Fault(start, "an empty record is chunked");
                var joined = new MemoryStream();
                joined.Write(payload, 0, payload.Length);
                int chunkStart = start;
                while ((flags & Chunk) != 0)
                {
                    if ((flags & MessageEnd) != 0) throw Fault(chunkStart, "a chunk that is not the last has the message end flag");
                    chunkStart = offset;
                    var tnf = ReadRecordHeader(bytes, ref offset, out flags, out byte[] chunkType, out _, out payload);
                    if (tnf != NdefTypeNameFormat.Unchanged || chunkType.Length != 0 || (flags & (IdLength | MessageBegin)) != 0)
                        throw Fault(chunkStart, "a following chunk has a type, an ID length, the begin flag or a type name format other than 'unchanged'");
                    joined.Write(payload, 0, payload.Length);
                }
                records.Add(Typed(new NdefRecord(first, type, id, joined.ToArray()), start));
                ended = (flags & MessageEnd) != 0;
                if (!ended && offset == bytes.Length) throw Fault(offset, "the message ends without the message end flag");
            }
            if (offset != bytes.Length) throw Fault(offset, "bytes follow the record with the message end flag");
            return new NdefMessage(records);
        }

        /// <summary>The message's bytes: short records where the payload fits, no chunks.</summary>
        public byte[] ToByteArray()
        {
            var output = new MemoryStream();
            for (int i = 0; i < Records.Count; i++)
            {
                NdefRecord record = Records[i];
                byte[] payload = record.PayloadBytes, type = record.TypeBytes, id = record.IdBytes;
                byte header = (byte)record.Tnf;
                if (i == 0) header |= MessageBegin;
                if (i == Records.Count - 1) header |= MessageEnd;
                if (payload.Length < 256) header |= ShortRecord;
                if (id.Length > 0) header |= IdLength;
                output.WriteByte(header);
                output.WriteByte((byte)type.Length);
                if (payload.Length < 256)
                {
                    output.WriteByte((byte)payload.Length);
                }
                else
                {
                    output.WriteByte((byte)(payload.Length >> 24));
                    output.WriteByte((byte)(payload.Length >> 16));
                    output.WriteByte((byte)(payload.Length >> 8));
                    output.WriteByte((byte)payload.Length);
                }
                if (id.Length > 0) output.WriteByte((byte)id.Length);
                output.Write(type, 0, type.Length);
                output.Write(id, 0, id.Length);
                output.Write(payload, 0, payload.Length);
            }
            return output.ToArray();
        }

        public override string ToString() =>
            Records.Count == 0 ? "empty NDEF message" : string.Join(Environment.NewLine, Records.Select(r => r.ToString()));

        private static NdefTypeNameFormat ReadRecordHeader(byte[] bytes, ref int offset, out byte flags,
                                                           out byte[] type, out byte[] id, out byte[] payload)
        {
            int start = offset;
            flags = Take(bytes, ref offset, 1, start)[0];
            int typeLength = Take(bytes, ref offset, 1, start)[0];
            long payloadLength;
            if ((flags & ShortRecord) != 0)
            {
                payloadLength = Take(bytes, ref offset, 1, start)[0];
            }
            else
            {
                byte[] length = Take(bytes, ref offset, 4, start);
                payloadLength = ((long)length[0] << 24) | ((long)length[1] << 16) | ((long)length[2] << 8) | length[3];
            }
            int idLength = (flags & IdLength) != 0 ? Take(bytes, ref offset, 1, start)[0] : 0;
            var tnf = (NdefTypeNameFormat)(flags & 0x07);
            if (tnf > NdefTypeNameFormat.Unchanged) throw Fault(start, "type name format 7 is reserved");
            if (tnf == NdefTypeNameFormat.Empty && (typeLength != 0 || idLength != 0 || payloadLength != 0))
                throw Fault(start, "an empty record has a type, an id or a payload");
            type = Take(bytes, ref offset, typeLength, start);
            id = Take(bytes, ref offset, idLength, start);
            if (payloadLength > bytes.Length - offset) throw Fault(start, $"a payload of {payloadLength} bytes runs past the end");
            payload = Take(bytes, ref offset, (int)payloadLength, start);
            return tnf;
        }

        private static byte[] Take(byte[] bytes, ref int offset, int count, int recordStart)
        {
            if (count > bytes.Length - offset) throw Fault(recordStart, "the record runs past the end of the message");
            var taken = new byte[count];
            Array.Copy(bytes, offset, taken, 0, count);
            offset += count;
            return taken;
        }

        private static NdefRecord Typed(NdefRecord record, int offset)
        {
            try
            {
                if (record.IsWellKnown("U")) return UriRecord.FromRecord(record);
                if (record.IsWellKnown("T")) return TextRecord.FromRecord(record);
                if (record.Tnf == NdefTypeNameFormat.Media) return MimeRecord.FromRecord(record);
                return record;
            }
            catch (Exception e) when (e is FormatException || e is DecoderFallbackException)
            {
                throw Fault(offset, e.Message);
            }
        }

        private static FormatException Fault(int offset, string what) =>
            new FormatException($"not a valid NDEF message at byte {offset}: {what}") { Data = { ["Offset"] = offset } };
    }
}
