using System;
using System.Runtime.InteropServices;

namespace Korvat.Nfc.Interop
{
    /// <summary>
    /// The twelve exports of korvat_nfc_tags.dll, each declared once, as korvat_nfc_tags.h declares
    /// them: cdecl, a one-byte boolean result, UTF-8 strings passed as NUL-terminated byte arrays.
    /// <see cref="NfcTags"/> is the friendly form.
    /// </summary>
    public static class TagsNative
    {
        public const string LibraryName = "korvat_nfc_tags.dll";

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_identify(byte[] target_record, uint record_size, out TagInfoRecord info);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_read_ndef(byte[] target_record, uint record_size,
                                                           [Out] byte[] message, uint message_capacity, out uint message_size);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_write_ndef(byte[] target_record, uint record_size, byte[] message, uint message_size);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_format(byte[] target_record, uint record_size);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_ndef_add_uri([In, Out] byte[] message, uint capacity, ref uint message_size, byte[] uri);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_ndef_add_text([In, Out] byte[] message, uint capacity, ref uint message_size,
                                                               byte[] language, byte[] utf8_text);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_ndef_add_mime([In, Out] byte[] message, uint capacity, ref uint message_size,
                                                               byte[] mime_type, byte[] payload, uint payload_size);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_ndef_record_count(byte[] message, uint message_size, out uint count);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_ndef_get_record(byte[] message, uint message_size, uint index,
                                                                 out NdefRecordRecord record, [Out] byte[] payload, uint payload_capacity);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_ndef_get_uri(byte[] message, uint message_size, uint index,
                                                              [Out] byte[] uri, uint capacity, out uint uri_size);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_ndef_get_text(byte[] message, uint message_size, uint index,
                                                               [Out] byte[] language, uint language_capacity,
                                                               [Out] byte[] utf8_text, uint text_capacity, ref uint text_size);

        /// <summary>error_info: two words, (error code, detail code) of the last failed call of this DLL.</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_tags_get_last_error([Out] uint[] error_info);
    }
}
