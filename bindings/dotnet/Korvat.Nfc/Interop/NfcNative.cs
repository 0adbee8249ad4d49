using System;
using System.Runtime.InteropServices;

namespace Korvat.Nfc.Interop
{
    /// <summary>
    /// The exports of korvat_nfc_library_for_vb.dll (the twenty, then those after ordinal 20), each declared once, as korvat_nfc.h
    /// declares them: cdecl on both architectures, a one-byte boolean result, 8-bit strings.
    /// Use <see cref="NfcReader"/> unless you need a call exactly as the DLL makes it; before the
    /// first call here, <see cref="NativeLibraryResolver.EnsureLoaded"/> loads the DLL of the
    /// process's architecture (the friendly layer does that itself).
    /// </summary>
    public static class NfcNative
    {
        public const string LibraryName = "korvat_nfc_library_for_vb.dll";

        /// <summary>Bytes of the port name buffer of <see cref="korvatlib_nfc_open"/> when the library writes the name back.</summary>
        public const int PortNameBufferSize = 16;

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_initialize();

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_uninitialize();

        /// <summary>port_name: a NUL-terminated name, or an empty buffer of
        /// <see cref="PortNameBufferSize"/> bytes that receives the first configured port that opens.</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_open([In, Out] byte[] port_name);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_close();

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_start_poll_mode(uint target_device);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_stop_poll_mode();

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_start_dev_access(uint target_number);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_stop_dev_access(uint stop_mode);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_select_device();

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_deselect_device();

        /// <summary>No response capacity is passed: the response buffer must hold the largest
        /// response the plug-in returns (at most 65535 bytes, the range of the length word).</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_thru(byte[] command_packet_data, ushort command_packet_data_length,
                                                     [Out] byte[] response_packet_data, out ushort response_packet_data_length);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_set_timeout(int timeout);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_get_timeout(out int timeout);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_set_poll_callback_parameters(IntPtr handle, string msg_str_of_find, string msg_str_of_enable);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_set_pnp_callback_parameters(IntPtr handle, string msg_str_of_find, string msg_str_of_loss);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_start_plug_and_play();

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_stop_plug_and_play();

        /// <summary>error_info: two words, (error code, detail code).</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_get_last_error([Out] uint[] error_info);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_start_logging(string filename);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_stop_logging();

        /// <summary>enabled 1: every event a window message carries is also queued (at most
        /// <see cref="EventQueueLength"/>, the oldest dropped), and poll mode and plug-and-play may
        /// start without a window handle; 0: no queue (the default), the queue is emptied.</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_set_event_queue(uint enabled);

        /// <summary>The oldest queued event, by value; timeout_ms 0 returns at once, up to
        /// <see cref="EventWaitLimitMs"/> waits. No event: false with KORVAT_NFC_E_NO_EVENT.</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_get_next_event(out EventRecord @event, uint timeout_ms);

        /// <summary>records: capacity records of <see cref="ReaderRecordSize"/> bytes each (or null
        /// with capacity 0); count: how many readers there are, also when they do not fit (false with
        /// KORVAT_NFC_E_BUFFER_TOO_SMALL).</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool korvatlib_nfc_list_readers([Out] byte[] records, uint capacity, out uint count);

        /// <summary>Bytes of a KORVAT_NFC_READER_RECORD.</summary>
        public const int ReaderRecordSize = 200;
        /// <summary>KORVAT_NFC_EVENT_QUEUE_LENGTH: the events the queue holds.</summary>
        public const int EventQueueLength = 64;
        /// <summary>KORVAT_NFC_EVENT_WAIT_LIMIT_MS: the longest time-out of korvatlib_nfc_get_next_event.</summary>
        public const uint EventWaitLimitMs = 60000;
    }
}
