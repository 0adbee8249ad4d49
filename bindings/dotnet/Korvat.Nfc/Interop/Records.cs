using System.Runtime.InteropServices;

namespace Korvat.Nfc.Interop
{
    // The records of korvat_nfc.h and korvat_nfc_tags.h, byte for byte (packed, little-endian).
    // A target information record's struct is its fixed part: the variable field (ATS, ATTRIB,
    // RD) starts at Marshal.SizeOf of the struct, and its size is the struct's last member.
    // The tests compare every offset with the C headers.

    /// <summary>DEVICE_DATA_NFC_14443A_18092_106K (target_device 1): 23 + ATS_size bytes.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct Record14443A
    {
        public uint target_device;
        public uint target_number;
        public ushort sens_res;
        public byte sel_res;
        public byte NFCID1_size;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 10)] public byte[] NFCID1;
        public byte ATS_size;
    }

    /// <summary>DEVICE_DATA_NFC_14443B_106K (target_device 8): 21 + ATTRIB_size bytes.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct Record14443B
    {
        public uint target_device;
        public uint target_number;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 12)] public byte[] ATQB;
        public byte ATTRIB_size;
    }

    /// <summary>DEVICE_DATA_NFC_18092_212_424K (target_device 2 or 4): 29 + RD_size bytes.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct Record18092
    {
        public uint target_device;
        public byte id;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 3)] public byte[] reserved;
        public uint target_number;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)] public byte[] NFCID2;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)] public byte[] Pad;
        public byte RD_size;
    }

    /// <summary>KORVAT_TAG_INFO: 16 bytes.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct TagInfoRecord
    {
        public uint tag_type;
        public uint capacity;
        public uint message_size;
        public byte writable;
        public byte ndef_present;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 2)] public byte[] reserved;
    }

    /// <summary>KORVAT_NDEF_RECORD: 521 bytes.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct NdefRecordRecord
    {
        public byte tnf;
        public byte type_size;
        public byte id_size;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 255)] public byte[] type;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 255)] public byte[] id;
        public uint payload_size;
        public uint chunk_count;
    }

    /// <summary>KORVAT_NFC_READER_RECORD: 200 bytes, a reader that can be opened now (the
    /// plug-and-play messages, the reader events of the event queue, korvatlib_nfc_list_readers).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct ReaderRecord
    {
        public uint record_size;
        public byte category;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 3)] public byte[] reserved;
        /// <summary>NUL-terminated, as korvatlib_nfc_open takes it.</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 64)] public byte[] port_name;
        /// <summary>NUL-terminated UTF-8: the reader's own name.</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 128)] public byte[] reader_name;
    }

    /// <summary>KORVAT_NFC_EVENT: 312 bytes, one event of the library's event queue, by value.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct EventRecord
    {
        public uint kind;
        public uint lost_before;
        public uint target_number;
        public uint error_code;
        public uint detail_code;
        public uint data_size;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 288)] public byte[] data;
    }
}
