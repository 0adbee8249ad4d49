using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;
using Korvat.Nfc.Interop;

namespace Korvat.Nfc
{
    /// <summary>
    /// A reader that can be opened now, from a reader record of the library (the plug-and-play
    /// messages, <see cref="NfcReader.GetReaders"/>): the port name to give
    /// <see cref="NfcReader.Open"/>, the category of the plug-in that serves it and the reader's
    /// own name (a PC/SC reader's name, a COM port).
    /// </summary>
    public sealed class ReaderInfo : IEquatable<ReaderInfo>
    {
        private const int PortNameOffset = 8, PortNameSize = 64, ReaderNameOffset = 72, ReaderNameSize = 128;

        public ReaderInfo(string portName, byte category, string name)
        {
            PortName = portName ?? throw new ArgumentNullException(nameof(portName));
            Category = category;
            Name = name ?? throw new ArgumentNullException(nameof(name));
        }

        /// <summary>The port name, as <see cref="NfcReader.Open"/> takes it.</summary>
        public string PortName { get; }

        /// <summary>The PortCategory of the plug-in that serves it: the position of its category
        /// name in category_name_list.</summary>
        public byte Category { get; }

        /// <summary>The reader's own name.</summary>
        public string Name { get; }

        /// <summary>
        /// Decodes one reader record (<see cref="NfcNative.ReaderRecordSize"/> bytes from
        /// <paramref name="offset"/>). Throws <see cref="FormatException"/> when the bytes are no
        /// record: too few, or a record_size below 200. A name runs to its first NUL, or to the end
        /// of its field when it has none.
        /// </summary>
        public static ReaderInfo Decode(byte[] records, int offset = 0)
        {
            if (records == null) throw new ArgumentNullException(nameof(records));
            if (offset < 0 || records.Length - offset < NfcNative.ReaderRecordSize)
                throw new FormatException($"a reader record has {NfcNative.ReaderRecordSize} bytes, not {Math.Max(0, records.Length - offset)}");
            uint size = BitConverter.ToUInt32(records, offset);
            if (size < NfcNative.ReaderRecordSize)
                throw new FormatException($"a reader record's record_size is at least {NfcNative.ReaderRecordSize}, not {size}");
            return new ReaderInfo(Text(records, offset + PortNameOffset, PortNameSize, Encoding.ASCII), records[offset + 4],
                                  Text(records, offset + ReaderNameOffset, ReaderNameSize, Encoding.UTF8));
        }

        /// <summary>The first <paramref name="count"/> records of a buffer that
        /// korvatlib_nfc_list_readers filled.</summary>
        public static IReadOnlyList<ReaderInfo> DecodeList(byte[] records, int count)
        {
            if (records == null) throw new ArgumentNullException(nameof(records));
            if (count < 0 || (long)count * NfcNative.ReaderRecordSize > records.Length)
                throw new FormatException($"{count} reader records do not fit in {records.Length} bytes");
            var readers = new ReaderInfo[count];
            for (int i = 0; i < count; i++) readers[i] = Decode(records, i * NfcNative.ReaderRecordSize);
            return readers;
        }

        // Copies the record at a plug-and-play message's lParam (the library's memory: its 200 bytes only).
        internal static ReaderInfo FromMessage(IntPtr record)
        {
            var bytes = new byte[NfcNative.ReaderRecordSize];
            Marshal.Copy(record, bytes, 0, bytes.Length);
            return Decode(bytes);
        }

        private static string Text(byte[] bytes, int offset, int size, Encoding encoding)
        {
            int end = Array.IndexOf(bytes, (byte)0, offset, size);
            return encoding.GetString(bytes, offset, (end < 0 ? offset + size : end) - offset);
        }

        public bool Equals(ReaderInfo other) =>
            other != null && PortName == other.PortName && Category == other.Category && Name == other.Name;

        public override bool Equals(object obj) => Equals(obj as ReaderInfo);

        public override int GetHashCode() => (PortName.GetHashCode() * 31 + Category) * 31 + Name.GetHashCode();

        public override string ToString() => $"{PortName} (category {Category}): {Name}";
    }
}
