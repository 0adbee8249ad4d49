using System;
using System.Globalization;
using System.Runtime.InteropServices;
using Korvat.Nfc.Interop;

namespace Korvat.Nfc
{
    /// <summary>Kinds of target to poll for; the values are the library's target_device bits.</summary>
    [Flags]
    public enum TargetKinds : uint
    {
        None = 0,
        /// <summary>ISO/IEC 14443 A or ISO/IEC 18092 at 106 kbit/s.</summary>
        Iso14443A = 0x1,
        /// <summary>ISO/IEC 18092 at 212 kbit/s.</summary>
        Iso18092At212 = 0x2,
        /// <summary>ISO/IEC 18092 at 424 kbit/s.</summary>
        Iso18092At424 = 0x4,
        /// <summary>ISO/IEC 14443 B at 106 kbit/s.</summary>
        Iso14443B = 0x8,
        All = Iso14443A | Iso18092At212 | Iso18092At424 | Iso14443B,
    }

    /// <summary>
    /// A target that the find message reported, decoded from its target information record. The
    /// record's bytes are kept (<see cref="Record"/>): the tag library takes them as they are.
    /// </summary>
    public abstract class Target
    {
        private readonly byte[] _record;

        private protected Target(TargetKinds kind, uint targetNumber, byte[] record)
        {
            Kind = kind;
            TargetNumber = targetNumber;
            _record = record;
        }

        /// <summary>The kind of target (one bit of <see cref="TargetKinds"/>).</summary>
        public TargetKinds Kind { get; }

        /// <summary>The number to pass to device access.</summary>
        public uint TargetNumber { get; }

        /// <summary>A copy of the record's bytes, exactly as the library wrote them.</summary>
        public byte[] Record => (byte[])_record.Clone();

        internal byte[] RecordBytes => _record;

        /// <summary>
        /// Decodes a target information record. Throws <see cref="FormatException"/> when the bytes
        /// are no record: an unknown target_device, fewer bytes than the fixed part and the variable
        /// field, or an NFCID1 size above 10. Bytes after the record are ignored.
        /// </summary>
        public static Target Decode(byte[] record)
        {
            if (record == null) throw new ArgumentNullException(nameof(record));
            if (record.Length < 4) throw new FormatException($"a target information record has at least 4 bytes, not {record.Length}");
            uint device = BitConverter.ToUInt32(record, 0);
            switch (device)
            {
                case (uint)TargetKinds.Iso14443A:
                {
                    var fixedPart = ReadFixedPart<Record14443A>(record);
                    if (fixedPart.NFCID1_size > fixedPart.NFCID1.Length)
                        throw new FormatException($"NFCID1_size {fixedPart.NFCID1_size} is above {fixedPart.NFCID1.Length}");
                    byte[] ats = ReadVariableField<Record14443A>(record, fixedPart.ATS_size, out byte[] bytes);
                    return new Target14443A(fixedPart, ats, bytes);
                }
                case (uint)TargetKinds.Iso14443B:
                {
                    var fixedPart = ReadFixedPart<Record14443B>(record);
                    byte[] attrib = ReadVariableField<Record14443B>(record, fixedPart.ATTRIB_size, out byte[] bytes);
                    return new Target14443B(fixedPart, attrib, bytes);
                }
                case (uint)TargetKinds.Iso18092At212:
                case (uint)TargetKinds.Iso18092At424:
                {
                    var fixedPart = ReadFixedPart<Record18092>(record);
                    byte[] rd = ReadVariableField<Record18092>(record, fixedPart.RD_size, out byte[] bytes);
                    return new Target18092(fixedPart, rd, bytes);
                }
                default:
                    throw new FormatException(string.Format(CultureInfo.InvariantCulture, "unknown target_device 0x{0:X8}", device));
            }
        }

        /// <summary>
        /// Copies the record at a find message's lParam and decodes it: the memory is the
        /// library's, so nothing is read past the record its first word and size fields describe.
        /// </summary>
        internal static Target FromMessage(IntPtr record)
        {
            uint device = (uint)Marshal.ReadInt32(record);
            int fixedSize;
            switch (device)
            {
                case (uint)TargetKinds.Iso14443A: fixedSize = Marshal.SizeOf<Record14443A>(); break;
                case (uint)TargetKinds.Iso14443B: fixedSize = Marshal.SizeOf<Record14443B>(); break;
                case (uint)TargetKinds.Iso18092At212:
                case (uint)TargetKinds.Iso18092At424: fixedSize = Marshal.SizeOf<Record18092>(); break;
                default: throw new FormatException(string.Format(CultureInfo.InvariantCulture, "unknown target_device 0x{0:X8}", device));
            }
            int size = fixedSize + Marshal.ReadByte(record, fixedSize - 1);  // the variable field's size ends the fixed part
            var bytes = new byte[size];
            Marshal.Copy(record, bytes, 0, size);
            return Decode(bytes);
        }

        private static T ReadFixedPart<T>(byte[] record) where T : struct
        {
            int size = Marshal.SizeOf<T>();
            if (record.Length < size)
                throw new FormatException($"a {typeof(T).Name} record has at least {size} bytes, not {record.Length}");
            var handle = GCHandle.Alloc(record, GCHandleType.Pinned);
            try
            {
                return Marshal.PtrToStructure<T>(handle.AddrOfPinnedObject());
            }
            finally
            {
                handle.Free();
            }
        }

        // The variable field after the fixed part of T, and the record's own bytes (without what follows it).
        private static byte[] ReadVariableField<T>(byte[] record, byte fieldSize, out byte[] recordBytes) where T : struct
        {
            int offset = Marshal.SizeOf<T>();
            if (record.Length < offset + fieldSize)
                throw new FormatException($"a {typeof(T).Name} record with a variable field of {fieldSize} bytes has {offset + fieldSize} bytes, not {record.Length}");
            var field = new byte[fieldSize];
            Array.Copy(record, offset, field, 0, fieldSize);
            recordBytes = new byte[offset + fieldSize];
            Array.Copy(record, recordBytes, recordBytes.Length);
            return field;
        }

        internal static string Hex(byte[] bytes) => BitConverter.ToString(bytes).Replace("-", "");
    }

    /// <summary>ISO/IEC 14443 A or ISO/IEC 18092 at 106 kbit/s (target_device 1).</summary>
    public sealed class Target14443A : Target
    {
        internal Target14443A(Record14443A record, byte[] ats, byte[] bytes)
            : base(TargetKinds.Iso14443A, record.target_number, bytes)
        {
            SensRes = record.sens_res;
            SelRes = record.sel_res;
            Nfcid1 = new byte[record.NFCID1_size];
            Array.Copy(record.NFCID1, Nfcid1, Nfcid1.Length);
            Ats = ats;
        }

        public ushort SensRes { get; }
        public byte SelRes { get; }
        /// <summary>The identifier: 4, 7 or 10 bytes (the first NFCID1_size bytes of the field).</summary>
        public byte[] Nfcid1 { get; }
        /// <summary>The answer to select; empty for a target without ISO-DEP.</summary>
        public byte[] Ats { get; }

        public override string ToString() =>
            string.Format(CultureInfo.InvariantCulture, "ISO/IEC 14443 A target {0}: NFCID1 {1}, SENS_RES {2:X4}, SEL_RES {3:X2}, ATS {4}",
                          TargetNumber, Hex(Nfcid1), SensRes, SelRes, Hex(Ats));
    }

    /// <summary>ISO/IEC 14443 B at 106 kbit/s (target_device 8).</summary>
    public sealed class Target14443B : Target
    {
        internal Target14443B(Record14443B record, byte[] attrib, byte[] bytes)
            : base(TargetKinds.Iso14443B, record.target_number, bytes)
        {
            Atqb = record.ATQB;
            Attrib = attrib;
        }

        /// <summary>The 12 bytes of ATQB (the PUPI at bytes 1 to 4).</summary>
        public byte[] Atqb { get; }
        public byte[] Attrib { get; }

        public override string ToString() =>
            string.Format(CultureInfo.InvariantCulture, "ISO/IEC 14443 B target {0}: ATQB {1}, ATTRIB {2}", TargetNumber, Hex(Atqb), Hex(Attrib));
    }

    /// <summary>ISO/IEC 18092 at 212 or 424 kbit/s (target_device 2 or 4).</summary>
    public sealed class Target18092 : Target
    {
        internal Target18092(Record18092 record, byte[] rd, byte[] bytes)
            : base((TargetKinds)record.target_device, record.target_number, bytes)
        {
            Id = record.id;
            Nfcid2 = record.NFCID2;
            Pad = record.Pad;
            RequestData = rd;
        }

        public byte Id { get; }
        /// <summary>The 8 bytes of NFCID2 (the IDm).</summary>
        public byte[] Nfcid2 { get; }
        /// <summary>The 8 bytes of Pad (the PMm).</summary>
        public byte[] Pad { get; }
        /// <summary>RD: the request data (the system code), possibly empty.</summary>
        public byte[] RequestData { get; }
        /// <summary>212 or 424.</summary>
        public int KilobitsPerSecond => Kind == TargetKinds.Iso18092At212 ? 212 : 424;

        public override string ToString() =>
            string.Format(CultureInfo.InvariantCulture, "ISO/IEC 18092 {0} kbit/s target {1}: NFCID2 {2}, Pad {3}, RD {4}",
                          KilobitsPerSecond, TargetNumber, Hex(Nfcid2), Hex(Pad), Hex(RequestData));
    }
}
