Attribute VB_Name = "KorvatNfc"
' KorvatNfc.bas - korvat_nfc_library_for_vb.dll and korvat_nfc_tags.dll for VBA and VB6
'
' Import this module (VBA editor: File > Import File). It declares every export of the two DLLs
' once, the constants of korvat_nfc.h and korvat_nfc_tags.h, user-defined types for the records
' the DLLs write, and functions that fill those types from the records' bytes.
'
' 64-bit Office (VBA7, Win64): the DLLs are called directly (x64 has one calling convention).
' 32-bit Office, VB6: they can call __stdcall functions only, and the x86 DLLs' exports are
' cdecl; the same names are declared on korvat_nfc_stdcall.dll, the companion in the x86 bin
' directory, which forwards each call to the DLL beside it.
'
' Call KnLoad with the directory of the DLLs of Office's architecture once before anything else
' (x64\bin or x86\bin of the SDK): a Declare finds its DLL by name among those already loaded.
'
' Conventions, as in the C headers: every function returns a Byte, 1 on success, 0 on failure;
' then korvatlib_nfc_get_last_error (korvatlib_tags_get_last_error for the tag functions) gives
' the pair (error code, detail code) in a Long array of two. Codes are unsigned 32-bit values and
' show as negative Longs. Buffers are Byte arrays passed by their first element, buf(0).
'
' The records behind lParam are packed (byte-aligned); VBA lays out user-defined types with
' natural alignment, so they are never copied onto a type in one piece: the functions below copy
' the bytes into a Byte array and read each field at its offset in the C header.
' The event of the event queue (KnEvent) and the reader record (KnReaderRecord) are the
' exception: their fields are 4-byte aligned, so these two types have the header's layout.
'
' Without a window (Excel, Access, scripts): korvatlib_nfc_set_event_queue 1, then poll mode or
' plug-and-play without a window handle, and korvatlib_nfc_get_next_event from a timer.
Option Explicit

#If Not VBA7 Then
' VB6 and VBA6 have no LongPtr: an Enum is a 4-byte Long there, the width of a 32-bit pointer.
Public Enum LongPtr
    [_]
End Enum
#End If

' ---------------------------------------------------------------------------------------------
' The two records the exports after ordinal 20 take as types (before the Declares that use them)
' ---------------------------------------------------------------------------------------------
' KORVAT_NFC_EVENT: one event of the queue, 312 bytes. Unlike the target records its fields are
' 4-byte aligned, so this type has the header's layout and korvatlib_nfc_get_next_event fills it
' in one piece. Names as in the header.
Public Type KnEvent
    kind As Long                ' KORVAT_NFC_EVENT_...
    lost_before As Long         ' events dropped (queue full) right before this one
    target_number As Long
    error_code As Long
    detail_code As Long
    data_size As Long           ' bytes of data in use (KnEventData)
    data(0 To 287) As Byte      ' a target record, or a reader record (KnEventReader)
End Type

' KORVAT_NFC_READER_RECORD: a reader that can be opened now, 200 bytes, laid out as the header's
' (KnReaderPortName, KnReaderName read its texts).
Public Type KnReaderRecord
    record_size As Long
    category As Byte            ' the PortCategory of the plug-in that serves it
    reserved(0 To 2) As Byte
    port_name(0 To 63) As Byte  ' NUL-terminated, as korvatlib_nfc_open takes it
    reader_name(0 To 127) As Byte ' NUL-terminated UTF-8
End Type

' ---------------------------------------------------------------------------------------------
' Exports. Parameter names are those of the C headers.
' ---------------------------------------------------------------------------------------------
#If Win64 Then
Public Declare PtrSafe Function korvatlib_nfc_initialize Lib "korvat_nfc_library_for_vb.dll" () As Byte
Public Declare PtrSafe Function korvatlib_nfc_uninitialize Lib "korvat_nfc_library_for_vb.dll" () As Byte
' port_name: a 16-byte buffer; all zero opens the first configured port and receives its name.
Public Declare PtrSafe Function korvatlib_nfc_open Lib "korvat_nfc_library_for_vb.dll" (ByRef port_name As Byte) As Byte
Public Declare PtrSafe Function korvatlib_nfc_close Lib "korvat_nfc_library_for_vb.dll" () As Byte
Public Declare PtrSafe Function korvatlib_nfc_start_poll_mode Lib "korvat_nfc_library_for_vb.dll" (ByVal target_device As Long) As Byte
Public Declare PtrSafe Function korvatlib_nfc_stop_poll_mode Lib "korvat_nfc_library_for_vb.dll" () As Byte
Public Declare PtrSafe Function korvatlib_nfc_start_dev_access Lib "korvat_nfc_library_for_vb.dll" (ByVal target_number As Long) As Byte
Public Declare PtrSafe Function korvatlib_nfc_stop_dev_access Lib "korvat_nfc_library_for_vb.dll" (ByVal stop_mode As Long) As Byte
Public Declare PtrSafe Function korvatlib_nfc_select_device Lib "korvat_nfc_library_for_vb.dll" () As Byte
Public Declare PtrSafe Function korvatlib_nfc_deselect_device Lib "korvat_nfc_library_for_vb.dll" () As Byte
Public Declare PtrSafe Function korvatlib_nfc_thru Lib "korvat_nfc_library_for_vb.dll" (ByRef command_packet_data As Byte, ByVal command_packet_data_length As Integer, ByRef response_packet_data As Byte, ByRef response_packet_data_length As Integer) As Byte
Public Declare PtrSafe Function korvatlib_nfc_set_timeout Lib "korvat_nfc_library_for_vb.dll" (ByVal timeout As Long) As Byte
Public Declare PtrSafe Function korvatlib_nfc_get_timeout Lib "korvat_nfc_library_for_vb.dll" (ByRef timeout As Long) As Byte
Public Declare PtrSafe Function korvatlib_nfc_set_poll_callback_parameters Lib "korvat_nfc_library_for_vb.dll" (ByVal handle As LongPtr, ByVal msg_str_of_find As String, ByVal msg_str_of_enable As String) As Byte
Public Declare PtrSafe Function korvatlib_nfc_set_pnp_callback_parameters Lib "korvat_nfc_library_for_vb.dll" (ByVal handle As LongPtr, ByVal msg_str_of_find As String, ByVal msg_str_of_loss As String) As Byte
Public Declare PtrSafe Function korvatlib_nfc_start_plug_and_play Lib "korvat_nfc_library_for_vb.dll" () As Byte
Public Declare PtrSafe Function korvatlib_nfc_stop_plug_and_play Lib "korvat_nfc_library_for_vb.dll" () As Byte
' error_info: the first of two Longs, (error code, detail code).
Public Declare PtrSafe Function korvatlib_nfc_get_last_error Lib "korvat_nfc_library_for_vb.dll" (ByRef error_info As Long) As Byte
Public Declare PtrSafe Function korvatlib_nfc_start_logging Lib "korvat_nfc_library_for_vb.dll" (ByVal filename As String) As Byte
Public Declare PtrSafe Function korvatlib_nfc_stop_logging Lib "korvat_nfc_library_for_vb.dll" () As Byte
' After ordinal 20. The event queue: enabled 1 or 0; event_record (the header's "event", a VBA
' keyword) receives the oldest event by value, timeout_ms 0 returns at once. The reader list:
' records(0) of an array of capacity KnReaderRecords; count receives how many readers there are.
Public Declare PtrSafe Function korvatlib_nfc_set_event_queue Lib "korvat_nfc_library_for_vb.dll" (ByVal enabled As Long) As Byte
Public Declare PtrSafe Function korvatlib_nfc_get_next_event Lib "korvat_nfc_library_for_vb.dll" (ByRef event_record As KnEvent, ByVal timeout_ms As Long) As Byte
Public Declare PtrSafe Function korvatlib_nfc_list_readers Lib "korvat_nfc_library_for_vb.dll" (ByRef records As KnReaderRecord, ByVal capacity As Long, ByRef count As Long) As Byte

' target_record: the bytes of a find message's record (KnRecordBytes); info, record: Byte
' buffers of KN_TAG_INFO_SIZE and KN_NDEF_RECORD_SIZE bytes (KnTagInfo, KnNdefRecord read them);
' utf8_text and uri: KnUtf8Bytes (pass b(0)), and KnUtf8Text for the text read back.
Public Declare PtrSafe Function korvatlib_tags_identify Lib "korvat_nfc_tags.dll" (ByRef target_record As Byte, ByVal record_size As Long, ByRef info As Byte) As Byte
Public Declare PtrSafe Function korvatlib_tags_read_ndef Lib "korvat_nfc_tags.dll" (ByRef target_record As Byte, ByVal record_size As Long, ByRef message As Byte, ByVal message_capacity As Long, ByRef message_size As Long) As Byte
Public Declare PtrSafe Function korvatlib_tags_write_ndef Lib "korvat_nfc_tags.dll" (ByRef target_record As Byte, ByVal record_size As Long, ByRef message As Byte, ByVal message_size As Long) As Byte
Public Declare PtrSafe Function korvatlib_tags_format Lib "korvat_nfc_tags.dll" (ByRef target_record As Byte, ByVal record_size As Long) As Byte
Public Declare PtrSafe Function korvatlib_tags_ndef_add_uri Lib "korvat_nfc_tags.dll" (ByRef message As Byte, ByVal capacity As Long, ByRef message_size As Long, ByRef uri As Byte) As Byte
Public Declare PtrSafe Function korvatlib_tags_ndef_add_text Lib "korvat_nfc_tags.dll" (ByRef message As Byte, ByVal capacity As Long, ByRef message_size As Long, ByVal language As String, ByRef utf8_text As Byte) As Byte
Public Declare PtrSafe Function korvatlib_tags_ndef_add_mime Lib "korvat_nfc_tags.dll" (ByRef message As Byte, ByVal capacity As Long, ByRef message_size As Long, ByVal mime_type As String, ByRef payload As Byte, ByVal payload_size As Long) As Byte
Public Declare PtrSafe Function korvatlib_tags_ndef_record_count Lib "korvat_nfc_tags.dll" (ByRef message As Byte, ByVal message_size As Long, ByRef count As Long) As Byte
Public Declare PtrSafe Function korvatlib_tags_ndef_get_record Lib "korvat_nfc_tags.dll" (ByRef message As Byte, ByVal message_size As Long, ByVal index As Long, ByRef record As Byte, ByRef payload As Byte, ByVal payload_capacity As Long) As Byte
Public Declare PtrSafe Function korvatlib_tags_ndef_get_uri Lib "korvat_nfc_tags.dll" (ByRef message As Byte, ByVal message_size As Long, ByVal index As Long, ByRef uri As Byte, ByVal capacity As Long, ByRef uri_size As Long) As Byte
Public Declare PtrSafe Function korvatlib_tags_ndef_get_text Lib "korvat_nfc_tags.dll" (ByRef message As Byte, ByVal message_size As Long, ByVal index As Long, ByRef language As Byte, ByVal language_capacity As Long, ByRef utf8_text As Byte, ByVal text_capacity As Long, ByRef text_size As Long) As Byte
Public Declare PtrSafe Function korvatlib_tags_get_last_error Lib "korvat_nfc_tags.dll" (ByRef error_info As Long) As Byte

Private Declare PtrSafe Function LoadLibraryA Lib "kernel32" (ByVal lpLibFileName As String) As LongPtr
Private Declare PtrSafe Sub RtlMoveMemory Lib "kernel32" (ByRef Destination As Any, ByVal Source As LongPtr, ByVal Length As LongPtr)
Private Declare PtrSafe Function MultiByteToWideChar Lib "kernel32" (ByVal CodePage As Long, ByVal dwFlags As Long, ByRef lpMultiByteStr As Byte, ByVal cbMultiByte As Long, ByVal lpWideCharStr As LongPtr, ByVal cchWideChar As Long) As Long
Private Declare PtrSafe Function WideCharToMultiByte Lib "kernel32" (ByVal CodePage As Long, ByVal dwFlags As Long, ByVal lpWideCharStr As LongPtr, ByVal cchWideChar As Long, ByRef lpMultiByteStr As Byte, ByVal cbMultiByte As Long, ByVal lpDefaultChar As LongPtr, ByVal lpUsedDefaultChar As LongPtr) As Long
Private Declare PtrSafe Function RegisterWindowMessageA Lib "user32" (ByVal lpString As String) As Long
#Else
Public Declare Function korvatlib_nfc_initialize Lib "korvat_nfc_stdcall.dll" () As Byte
Public Declare Function korvatlib_nfc_uninitialize Lib "korvat_nfc_stdcall.dll" () As Byte
Public Declare Function korvatlib_nfc_open Lib "korvat_nfc_stdcall.dll" (ByRef port_name As Byte) As Byte
Public Declare Function korvatlib_nfc_close Lib "korvat_nfc_stdcall.dll" () As Byte
Public Declare Function korvatlib_nfc_start_poll_mode Lib "korvat_nfc_stdcall.dll" (ByVal target_device As Long) As Byte
Public Declare Function korvatlib_nfc_stop_poll_mode Lib "korvat_nfc_stdcall.dll" () As Byte
Public Declare Function korvatlib_nfc_start_dev_access Lib "korvat_nfc_stdcall.dll" (ByVal target_number As Long) As Byte
Public Declare Function korvatlib_nfc_stop_dev_access Lib "korvat_nfc_stdcall.dll" (ByVal stop_mode As Long) As Byte
Public Declare Function korvatlib_nfc_select_device Lib "korvat_nfc_stdcall.dll" () As Byte
Public Declare Function korvatlib_nfc_deselect_device Lib "korvat_nfc_stdcall.dll" () As Byte
Public Declare Function korvatlib_nfc_thru Lib "korvat_nfc_stdcall.dll" (ByRef command_packet_data As Byte, ByVal command_packet_data_length As Integer, ByRef response_packet_data As Byte, ByRef response_packet_data_length As Integer) As Byte
Public Declare Function korvatlib_nfc_set_timeout Lib "korvat_nfc_stdcall.dll" (ByVal timeout As Long) As Byte
Public Declare Function korvatlib_nfc_get_timeout Lib "korvat_nfc_stdcall.dll" (ByRef timeout As Long) As Byte
Public Declare Function korvatlib_nfc_set_poll_callback_parameters Lib "korvat_nfc_stdcall.dll" (ByVal handle As LongPtr, ByVal msg_str_of_find As String, ByVal msg_str_of_enable As String) As Byte
Public Declare Function korvatlib_nfc_set_pnp_callback_parameters Lib "korvat_nfc_stdcall.dll" (ByVal handle As LongPtr, ByVal msg_str_of_find As String, ByVal msg_str_of_loss As String) As Byte
Public Declare Function korvatlib_nfc_start_plug_and_play Lib "korvat_nfc_stdcall.dll" () As Byte
Public Declare Function korvatlib_nfc_stop_plug_and_play Lib "korvat_nfc_stdcall.dll" () As Byte
Public Declare Function korvatlib_nfc_get_last_error Lib "korvat_nfc_stdcall.dll" (ByRef error_info As Long) As Byte
Public Declare Function korvatlib_nfc_start_logging Lib "korvat_nfc_stdcall.dll" (ByVal filename As String) As Byte
Public Declare Function korvatlib_nfc_stop_logging Lib "korvat_nfc_stdcall.dll" () As Byte
Public Declare Function korvatlib_nfc_set_event_queue Lib "korvat_nfc_stdcall.dll" (ByVal enabled As Long) As Byte
Public Declare Function korvatlib_nfc_get_next_event Lib "korvat_nfc_stdcall.dll" (ByRef event_record As KnEvent, ByVal timeout_ms As Long) As Byte
Public Declare Function korvatlib_nfc_list_readers Lib "korvat_nfc_stdcall.dll" (ByRef records As KnReaderRecord, ByVal capacity As Long, ByRef count As Long) As Byte

Public Declare Function korvatlib_tags_identify Lib "korvat_nfc_stdcall.dll" (ByRef target_record As Byte, ByVal record_size As Long, ByRef info As Byte) As Byte
Public Declare Function korvatlib_tags_read_ndef Lib "korvat_nfc_stdcall.dll" (ByRef target_record As Byte, ByVal record_size As Long, ByRef message As Byte, ByVal message_capacity As Long, ByRef message_size As Long) As Byte
Public Declare Function korvatlib_tags_write_ndef Lib "korvat_nfc_stdcall.dll" (ByRef target_record As Byte, ByVal record_size As Long, ByRef message As Byte, ByVal message_size As Long) As Byte
Public Declare Function korvatlib_tags_format Lib "korvat_nfc_stdcall.dll" (ByRef target_record As Byte, ByVal record_size As Long) As Byte
Public Declare Function korvatlib_tags_ndef_add_uri Lib "korvat_nfc_stdcall.dll" (ByRef message As Byte, ByVal capacity As Long, ByRef message_size As Long, ByRef uri As Byte) As Byte
Public Declare Function korvatlib_tags_ndef_add_text Lib "korvat_nfc_stdcall.dll" (ByRef message As Byte, ByVal capacity As Long, ByRef message_size As Long, ByVal language As String, ByRef utf8_text As Byte) As Byte
Public Declare Function korvatlib_tags_ndef_add_mime Lib "korvat_nfc_stdcall.dll" (ByRef message As Byte, ByVal capacity As Long, ByRef message_size As Long, ByVal mime_type As String, ByRef payload As Byte, ByVal payload_size As Long) As Byte
Public Declare Function korvatlib_tags_ndef_record_count Lib "korvat_nfc_stdcall.dll" (ByRef message As Byte, ByVal message_size As Long, ByRef count As Long) As Byte
Public Declare Function korvatlib_tags_ndef_get_record Lib "korvat_nfc_stdcall.dll" (ByRef message As Byte, ByVal message_size As Long, ByVal index As Long, ByRef record As Byte, ByRef payload As Byte, ByVal payload_capacity As Long) As Byte
Public Declare Function korvatlib_tags_ndef_get_uri Lib "korvat_nfc_stdcall.dll" (ByRef message As Byte, ByVal message_size As Long, ByVal index As Long, ByRef uri As Byte, ByVal capacity As Long, ByRef uri_size As Long) As Byte
Public Declare Function korvatlib_tags_ndef_get_text Lib "korvat_nfc_stdcall.dll" (ByRef message As Byte, ByVal message_size As Long, ByVal index As Long, ByRef language As Byte, ByVal language_capacity As Long, ByRef utf8_text As Byte, ByVal text_capacity As Long, ByRef text_size As Long) As Byte
Public Declare Function korvatlib_tags_get_last_error Lib "korvat_nfc_stdcall.dll" (ByRef error_info As Long) As Byte

Private Declare Function LoadLibraryA Lib "kernel32" (ByVal lpLibFileName As String) As LongPtr
Private Declare Sub RtlMoveMemory Lib "kernel32" (ByRef Destination As Any, ByVal Source As LongPtr, ByVal Length As LongPtr)
Private Declare Function MultiByteToWideChar Lib "kernel32" (ByVal CodePage As Long, ByVal dwFlags As Long, ByRef lpMultiByteStr As Byte, ByVal cbMultiByte As Long, ByVal lpWideCharStr As LongPtr, ByVal cchWideChar As Long) As Long
Private Declare Function WideCharToMultiByte Lib "kernel32" (ByVal CodePage As Long, ByVal dwFlags As Long, ByVal lpWideCharStr As LongPtr, ByVal cchWideChar As Long, ByRef lpMultiByteStr As Byte, ByVal cbMultiByte As Long, ByVal lpDefaultChar As LongPtr, ByVal lpUsedDefaultChar As LongPtr) As Long
Private Declare Function RegisterWindowMessageA Lib "user32" (ByVal lpString As String) As Long
#End If

' ---------------------------------------------------------------------------------------------
' Constants of korvat_nfc.h and korvat_nfc_tags.h
' ---------------------------------------------------------------------------------------------
Public Const KORVAT_NFC_E_INVALID_ARGUMENT As Long = &H80C00001
Public Const KORVAT_NFC_E_NOT_IMPLEMENTED As Long = &H80C00002
Public Const KORVAT_NFC_E_OUT_OF_MEMORY As Long = &H80C00004
Public Const KORVAT_NFC_E_NOT_INITIALIZED As Long = &H80C00005
Public Const KORVAT_NFC_E_INVALID_PORT_LIST As Long = &H80C00006
Public Const KORVAT_NFC_E_UNSUPPORTED_CATEGORY As Long = &H80C00007
Public Const KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY As Long = &H80C00008
Public Const KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING As Long = &H80C0000A
Public Const KORVAT_NFC_E_NO_PLUGIN As Long = &H80C0000B
Public Const KORVAT_NFC_E_THREAD_CREATE As Long = &H80C0000C
Public Const KORVAT_NFC_E_PORT_NOT_OPEN As Long = &H80C0000D
Public Const KORVAT_NFC_E_NO_CALLBACK_PARAM As Long = &H80C0000E
Public Const KORVAT_NFC_E_REGISTER_MESSAGE As Long = &H80C0000F
Public Const KORVAT_NFC_E_ALREADY_INITIALIZED As Long = &H80C00012
Public Const KORVAT_NFC_E_PORT_OPEN As Long = &H80C00013
Public Const KORVAT_NFC_E_DRIVER_STATUS As Long = &H80C00014
Public Const KORVAT_NFC_E_UNSUPPORTED_TARGET As Long = &H80C00015
Public Const KORVAT_NFC_E_PROCESS_EXITING As Long = &H80C00016
Public Const KORVAT_NFC_E_NO_EVENT As Long = &H80C00017
Public Const KORVAT_NFC_E_BUFFER_TOO_SMALL As Long = &H80C00018
Public Const KORVAT_NFC_E_CARD_ERROR_1 As Long = &H80C00051
Public Const KORVAT_NFC_E_CARD_ERROR_2 As Long = &H80C00052
Public Const KORVAT_NFC_E_CARD_ERROR_OTHER As Long = &H80C00053
Public Const KORVAT_NFC_E_DEVICE_ERROR_1 As Long = &H80C00071
Public Const KORVAT_NFC_E_DEVICE_ERROR_2 As Long = &H80C00072
Public Const KORVAT_NFC_E_DEVICE_ERROR_3 As Long = &H80C00073
Public Const KORVAT_NFC_E_DEVICE_ERROR_4 As Long = &H80C00074
Public Const KORVAT_NFC_E_DEVICE_ERROR_5 As Long = &H80C00075
Public Const KORVAT_NFC_E_DEVICE_ERROR_OTHER As Long = &H80C00076
Public Const KORVAT_NFC_E_LOG_RELATIVE_PATH As Long = &H80C00102
Public Const KORVAT_NFC_E_LOG_FILE_MISSING As Long = &H80C00103
Public Const KORVAT_NFC_E_LOG_FILE_OPEN As Long = &H80C00104

Public Const KORVAT_TAGS_E_INVALID_ARGUMENT As Long = &H80C00201
Public Const KORVAT_TAGS_E_UNSUPPORTED_TARGET As Long = &H80C00202
Public Const KORVAT_TAGS_E_NOT_NDEF_FORMATTED As Long = &H80C00203
Public Const KORVAT_TAGS_E_READ_ONLY As Long = &H80C00204
Public Const KORVAT_TAGS_E_TOO_LARGE As Long = &H80C00205
Public Const KORVAT_TAGS_E_REFUSED As Long = &H80C00206
Public Const KORVAT_TAGS_E_INVALID_TAG As Long = &H80C00207
Public Const KORVAT_TAGS_E_BUFFER_TOO_SMALL As Long = &H80C00208
Public Const KORVAT_TAGS_E_INVALID_NDEF As Long = &H80C00209
Public Const KORVAT_TAGS_E_NO_SUCH_RECORD As Long = &H80C0020A
Public Const KORVAT_TAGS_E_WRONG_RECORD_TYPE As Long = &H80C0020B
Public Const KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND As Long = &H80C0020C

Public Const DEVICE_TYPE_NFC_14443A_18092_106K As Long = &H1
Public Const DEVICE_TYPE_NFC_18092_212K As Long = &H2
Public Const DEVICE_TYPE_NFC_18092_424K As Long = &H4
Public Const DEVICE_TYPE_NFC_14443B_106K As Long = &H8

Public Const KORVAT_NFC_FIND_ERROR As Long = 0
Public Const KORVAT_NFC_FIND_TARGET As Long = 1
Public Const ENABLE_ACCESS_TO_TARGET As Long = 1
Public Const WAITING_ACCESS_TO_TARGET As Long = 2
' Registry value event_notification = 1: the find message with this wParam reports a target that
' left (lParam: its target number). plug_and_play = 1: the plug-and-play find and loss messages.
Public Const KORVAT_NFC_LOST_TARGET As Long = 2
Public Const KORVAT_NFC_READER_FOUND As Long = 1
Public Const KORVAT_NFC_READER_LOST As Long = 2

' The event queue (korvatlib_nfc_get_next_event): KnEvent.kind, and its sizes and bounds.
Public Const KORVAT_NFC_EVENT_TARGET_FOUND As Long = 1
Public Const KORVAT_NFC_EVENT_TARGET_LOST As Long = 2
Public Const KORVAT_NFC_EVENT_ACCESS_ENABLED As Long = 3
Public Const KORVAT_NFC_EVENT_ACCESS_WAITING As Long = 4
Public Const KORVAT_NFC_EVENT_ERROR As Long = 5
Public Const KORVAT_NFC_EVENT_READER_FOUND As Long = 6
Public Const KORVAT_NFC_EVENT_READER_LOST As Long = 7
Public Const KORVAT_NFC_EVENT_DATA_SIZE As Long = 288
Public Const KORVAT_NFC_EVENT_QUEUE_LENGTH As Long = 64
Public Const KORVAT_NFC_EVENT_WAIT_LIMIT_MS As Long = 60000
Public Const KORVAT_NFC_PORT_NAME_SIZE As Long = 64
Public Const KORVAT_NFC_READER_NAME_SIZE As Long = 128

Public Const KORVAT_TAG_TYPE_UNKNOWN As Long = 0
Public Const KORVAT_TAG_TYPE_2 As Long = 2
Public Const KORVAT_TAG_TYPE_3 As Long = 3
Public Const KORVAT_TAG_TYPE_4 As Long = 4

Public Const KORVAT_NDEF_TNF_EMPTY As Long = 0
Public Const KORVAT_NDEF_TNF_WELL_KNOWN As Long = 1
Public Const KORVAT_NDEF_TNF_MEDIA As Long = 2
Public Const KORVAT_NDEF_TNF_ABSOLUTE_URI As Long = 3
Public Const KORVAT_NDEF_TNF_EXTERNAL As Long = 4
Public Const KORVAT_NDEF_TNF_UNKNOWN As Long = 5

' Buffer sizes: the port name of korvatlib_nfc_open, the largest target record, the two records
' of the tag library.
Public Const KN_PORT_NAME_SIZE As Long = 16
Public Const KN_MAXIMUM_RECORD_SIZE As Long = 284
Public Const KN_TAG_INFO_SIZE As Long = 16
Public Const KN_NDEF_RECORD_SIZE As Long = 521

' ---------------------------------------------------------------------------------------------
' Record layouts: the offsets of the C header's packed structures.
' ---------------------------------------------------------------------------------------------
Private Const OFS_14443A_TARGET_DEVICE As Long = 0
Private Const OFS_14443A_TARGET_NUMBER As Long = 4
Private Const OFS_14443A_SENS_RES As Long = 8
Private Const OFS_14443A_SEL_RES As Long = 10
Private Const OFS_14443A_NFCID1_SIZE As Long = 11
Private Const OFS_14443A_NFCID1 As Long = 12
Private Const OFS_14443A_ATS_SIZE As Long = 22
Private Const OFS_14443A_ATS As Long = 23

Private Const OFS_14443B_TARGET_DEVICE As Long = 0
Private Const OFS_14443B_TARGET_NUMBER As Long = 4
Private Const OFS_14443B_ATQB As Long = 8
Private Const OFS_14443B_ATTRIB_SIZE As Long = 20
Private Const OFS_14443B_ATTRIB As Long = 21

Private Const OFS_18092_TARGET_DEVICE As Long = 0
Private Const OFS_18092_ID As Long = 4
Private Const OFS_18092_TARGET_NUMBER As Long = 8
Private Const OFS_18092_NFCID2 As Long = 12
Private Const OFS_18092_PAD As Long = 20
Private Const OFS_18092_RD_SIZE As Long = 28
Private Const OFS_18092_RD As Long = 29

Private Const OFS_TAG_INFO_TAG_TYPE As Long = 0
Private Const OFS_TAG_INFO_CAPACITY As Long = 4
Private Const OFS_TAG_INFO_MESSAGE_SIZE As Long = 8
Private Const OFS_TAG_INFO_WRITABLE As Long = 12
Private Const OFS_TAG_INFO_NDEF_PRESENT As Long = 13

Private Const OFS_NDEF_RECORD_TNF As Long = 0
Private Const OFS_NDEF_RECORD_TYPE_SIZE As Long = 1
Private Const OFS_NDEF_RECORD_ID_SIZE As Long = 2
Private Const OFS_NDEF_RECORD_TYPE As Long = 3
Private Const OFS_NDEF_RECORD_ID As Long = 258
Private Const OFS_NDEF_RECORD_PAYLOAD_SIZE As Long = 513
Private Const OFS_NDEF_RECORD_CHUNK_COUNT As Long = 517

' DEVICE_DATA_NFC_14443A_18092_106K, target_device 1
Public Type KnTarget14443A
    TargetDevice As Long
    TargetNumber As Long
    SensRes As Long             ' 16 bits
    SelRes As Byte
    Nfcid1Size As Byte
    Nfcid1() As Byte            ' Nfcid1Size bytes (0 to 10)
    AtsSize As Byte
    Ats() As Byte               ' AtsSize bytes (an empty array: UBound -1)
End Type

' DEVICE_DATA_NFC_14443B_106K, target_device 8
Public Type KnTarget14443B
    TargetDevice As Long
    TargetNumber As Long
    Atqb() As Byte              ' 12 bytes
    AttribSize As Byte
    Attrib() As Byte            ' AttribSize bytes
End Type

' DEVICE_DATA_NFC_18092_212_424K, target_device 2 or 4
Public Type KnTarget18092
    TargetDevice As Long
    Id As Byte
    TargetNumber As Long
    Nfcid2() As Byte            ' 8 bytes
    Pad() As Byte               ' 8 bytes
    RdSize As Byte
    Rd() As Byte                ' RdSize bytes
End Type

' KORVAT_TAG_INFO, what korvatlib_tags_identify found
Public Type KnTagInfo
    TagType As Long
    Capacity As Long
    MessageSize As Long
    Writable As Byte
    NdefPresent As Byte
End Type

' KORVAT_NDEF_RECORD, one record of a message (its payload comes in a buffer of its own)
Public Type KnNdefRecord
    Tnf As Byte
    TypeSize As Byte
    IdSize As Byte
    RecordType() As Byte        ' TypeSize bytes, e.g. "U" or "text/plain" (KnUtf8Text reads it)
    Id() As Byte                ' IdSize bytes
    PayloadSize As Long
    ChunkCount As Long
End Type

' ---------------------------------------------------------------------------------------------
' Loading
' ---------------------------------------------------------------------------------------------

' Loads the DLLs this module declares from `directory` (the x64\bin or x86\bin directory of the
' SDK, as Office's architecture is), so that the Declares find them. True when they are loaded.
Public Function KnLoad(ByVal directory As String) As Boolean
    If Right$(directory, 1) <> "\" Then directory = directory & "\"
#If Win64 Then
    KnLoad = LoadLibraryA(directory & "korvat_nfc_library_for_vb.dll") <> 0 And _
             LoadLibraryA(directory & "korvat_nfc_tags.dll") <> 0
#Else
    ' The companion loads the two DLLs beside itself at their first call.
    KnLoad = LoadLibraryA(directory & "korvat_nfc_stdcall.dll") <> 0
#End If
End Function

' The number of the window message `name` (the find and enable messages of
' korvatlib_nfc_set_poll_callback_parameters).
Public Function KnRegisterMessage(ByVal name As String) As Long
    KnRegisterMessage = RegisterWindowMessageA(name)
End Function

' ---------------------------------------------------------------------------------------------
' The find message's lParam
' ---------------------------------------------------------------------------------------------

' target_device of the record at `lParam` (wParam KORVAT_NFC_FIND_TARGET): which type to read.
Public Function KnTargetDevice(ByVal lParam As LongPtr) As Long
    Dim b() As Byte
    b = KnBytesAt(lParam, 4)
    KnTargetDevice = KnU32(b, OFS_14443A_TARGET_DEVICE)
End Function

' A copy of the whole record at `lParam`, fixed part and variable field: what the tag functions
' take as target_record. Copy it while handling the message; the library reuses its memory.
' An empty array for a target_device this module does not know.
Public Function KnRecordBytes(ByVal lParam As LongPtr) As Byte()
    Dim head() As Byte, fixedSize As Long, sizeOffset As Long
    Select Case KnTargetDevice(lParam)
    Case DEVICE_TYPE_NFC_14443A_18092_106K
        fixedSize = OFS_14443A_ATS
        sizeOffset = OFS_14443A_ATS_SIZE
    Case DEVICE_TYPE_NFC_14443B_106K
        fixedSize = OFS_14443B_ATTRIB
        sizeOffset = OFS_14443B_ATTRIB_SIZE
    Case DEVICE_TYPE_NFC_18092_212K, DEVICE_TYPE_NFC_18092_424K
        fixedSize = OFS_18092_RD
        sizeOffset = OFS_18092_RD_SIZE
    Case Else
        KnRecordBytes = vbNullString
        Exit Function
    End Select
    ' The fixed part first: the variable field's size is in it.
    head = KnBytesAt(lParam, fixedSize)
    KnRecordBytes = KnBytesAt(lParam, fixedSize + head(sizeOffset))
End Function

' The error pair at `lParam` (wParam KORVAT_NFC_FIND_ERROR).
Public Sub KnFindError(ByVal lParam As LongPtr, ByRef code As Long, ByRef detail As Long)
    Dim b() As Byte
    b = KnBytesAt(lParam, 8)
    code = KnU32(b, 0)
    detail = KnU32(b, 4)
End Sub

' ---------------------------------------------------------------------------------------------
' The event queue and reader records
' ---------------------------------------------------------------------------------------------

' The bytes of an event's data in use: for KORVAT_NFC_EVENT_TARGET_FOUND the target record, as
' KnRecordBytes gives it for a find message (KnTarget14443AFrom, KnTargetId and the tag
' functions take it). An empty array when there is none.
Public Function KnEventData(ByRef ev As KnEvent) As Byte()
    Dim size As Long
    size = ev.data_size
    If size > KORVAT_NFC_EVENT_DATA_SIZE Then size = KORVAT_NFC_EVENT_DATA_SIZE
    KnEventData = KnBytesAt(VarPtr(ev.data(0)), size)
End Function

' The reader record of a KORVAT_NFC_EVENT_READER_FOUND or _LOST event (all zero for another).
Public Function KnEventReader(ByRef ev As KnEvent) As KnReaderRecord
    Dim r As KnReaderRecord
    If ev.data_size >= LenB(r) Then RtlMoveMemory r, VarPtr(ev.data(0)), LenB(r)
    KnEventReader = r
End Function

' A copy of the reader record at a plug-and-play message's lParam.
Public Function KnReaderAt(ByVal lParam As LongPtr) As KnReaderRecord
    Dim r As KnReaderRecord
    If lParam <> 0 Then RtlMoveMemory r, lParam, LenB(r)
    KnReaderAt = r
End Function

' The port name of a reader record, to give korvatlib_nfc_open.
Public Function KnReaderPortName(ByRef r As KnReaderRecord) As String
    KnReaderPortName = KnTextToNul(VarPtr(r.port_name(0)), KORVAT_NFC_PORT_NAME_SIZE)
End Function

' The reader's own name (a PC/SC reader's name, a COM port).
Public Function KnReaderName(ByRef r As KnReaderRecord) As String
    KnReaderName = KnTextToNul(VarPtr(r.reader_name(0)), KORVAT_NFC_READER_NAME_SIZE)
End Function

' The identifier of the target whose record `record` holds, as hex: NFCID1 of a type A target,
' the PUPI (ATQB bytes 1 to 4) of a type B target, NFCID2 of an 18092 target; "" for none.
Public Function KnTargetId(ByRef record() As Byte) As String
    Dim a As KnTarget14443A, b As KnTarget14443B, f As KnTarget18092, pupi() As Byte
    If UBound(record) < 3 Then Exit Function
    Select Case KnU32(record, OFS_14443A_TARGET_DEVICE)
    Case DEVICE_TYPE_NFC_14443A_18092_106K
        a = KnTarget14443AFrom(record)
        KnTargetId = KnHex(a.Nfcid1)
    Case DEVICE_TYPE_NFC_14443B_106K
        b = KnTarget14443BFrom(record)
        pupi = KnSlice(b.Atqb, 1, 4)
        KnTargetId = KnHex(pupi)
    Case DEVICE_TYPE_NFC_18092_212K, DEVICE_TYPE_NFC_18092_424K
        f = KnTarget18092From(record)
        KnTargetId = KnHex(f.Nfcid2)
    End Select
End Function

' ---------------------------------------------------------------------------------------------
' Records from their bytes (KnRecordBytes, or the Byte buffers of the tag functions)
' ---------------------------------------------------------------------------------------------

Public Function KnTarget14443AFrom(ByRef b() As Byte) As KnTarget14443A
    Dim r As KnTarget14443A
    r.TargetDevice = KnU32(b, OFS_14443A_TARGET_DEVICE)
    r.TargetNumber = KnU32(b, OFS_14443A_TARGET_NUMBER)
    r.SensRes = KnU16(b, OFS_14443A_SENS_RES)
    r.SelRes = b(OFS_14443A_SEL_RES)
    r.Nfcid1Size = b(OFS_14443A_NFCID1_SIZE)
    r.Nfcid1 = KnSlice(b, OFS_14443A_NFCID1, r.Nfcid1Size)
    r.AtsSize = b(OFS_14443A_ATS_SIZE)
    r.Ats = KnSlice(b, OFS_14443A_ATS, r.AtsSize)
    KnTarget14443AFrom = r
End Function

Public Function KnTarget14443BFrom(ByRef b() As Byte) As KnTarget14443B
    Dim r As KnTarget14443B
    r.TargetDevice = KnU32(b, OFS_14443B_TARGET_DEVICE)
    r.TargetNumber = KnU32(b, OFS_14443B_TARGET_NUMBER)
    r.Atqb = KnSlice(b, OFS_14443B_ATQB, 12)
    r.AttribSize = b(OFS_14443B_ATTRIB_SIZE)
    r.Attrib = KnSlice(b, OFS_14443B_ATTRIB, r.AttribSize)
    KnTarget14443BFrom = r
End Function

Public Function KnTarget18092From(ByRef b() As Byte) As KnTarget18092
    Dim r As KnTarget18092
    r.TargetDevice = KnU32(b, OFS_18092_TARGET_DEVICE)
    r.Id = b(OFS_18092_ID)
    r.TargetNumber = KnU32(b, OFS_18092_TARGET_NUMBER)
    r.Nfcid2 = KnSlice(b, OFS_18092_NFCID2, 8)
    r.Pad = KnSlice(b, OFS_18092_PAD, 8)
    r.RdSize = b(OFS_18092_RD_SIZE)
    r.Rd = KnSlice(b, OFS_18092_RD, r.RdSize)
    KnTarget18092From = r
End Function

' info: the KN_TAG_INFO_SIZE bytes korvatlib_tags_identify wrote.
Public Function KnTagInfoFrom(ByRef b() As Byte) As KnTagInfo
    Dim r As KnTagInfo
    r.TagType = KnU32(b, OFS_TAG_INFO_TAG_TYPE)
    r.Capacity = KnU32(b, OFS_TAG_INFO_CAPACITY)
    r.MessageSize = KnU32(b, OFS_TAG_INFO_MESSAGE_SIZE)
    r.Writable = b(OFS_TAG_INFO_WRITABLE)
    r.NdefPresent = b(OFS_TAG_INFO_NDEF_PRESENT)
    KnTagInfoFrom = r
End Function

' record: the KN_NDEF_RECORD_SIZE bytes korvatlib_tags_ndef_get_record wrote.
Public Function KnNdefRecordFrom(ByRef b() As Byte) As KnNdefRecord
    Dim r As KnNdefRecord
    r.Tnf = b(OFS_NDEF_RECORD_TNF)
    r.TypeSize = b(OFS_NDEF_RECORD_TYPE_SIZE)
    r.IdSize = b(OFS_NDEF_RECORD_ID_SIZE)
    r.RecordType = KnSlice(b, OFS_NDEF_RECORD_TYPE, r.TypeSize)
    r.Id = KnSlice(b, OFS_NDEF_RECORD_ID, r.IdSize)
    r.PayloadSize = KnU32(b, OFS_NDEF_RECORD_PAYLOAD_SIZE)
    r.ChunkCount = KnU32(b, OFS_NDEF_RECORD_CHUNK_COUNT)
    KnNdefRecordFrom = r
End Function

' ---------------------------------------------------------------------------------------------
' Errors
' ---------------------------------------------------------------------------------------------

' The name of an error code of either DLL; codes of a reader's plug-in have none here.
Public Function KnErrorName(ByVal code As Long) As String
    Select Case code
    Case KORVAT_NFC_E_INVALID_ARGUMENT: KnErrorName = "KORVAT_NFC_E_INVALID_ARGUMENT"
    Case KORVAT_NFC_E_NOT_IMPLEMENTED: KnErrorName = "KORVAT_NFC_E_NOT_IMPLEMENTED"
    Case KORVAT_NFC_E_OUT_OF_MEMORY: KnErrorName = "KORVAT_NFC_E_OUT_OF_MEMORY"
    Case KORVAT_NFC_E_NOT_INITIALIZED: KnErrorName = "KORVAT_NFC_E_NOT_INITIALIZED"
    Case KORVAT_NFC_E_INVALID_PORT_LIST: KnErrorName = "KORVAT_NFC_E_INVALID_PORT_LIST"
    Case KORVAT_NFC_E_UNSUPPORTED_CATEGORY: KnErrorName = "KORVAT_NFC_E_UNSUPPORTED_CATEGORY"
    Case KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY: KnErrorName = "KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY"
    Case KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING: KnErrorName = "KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING"
    Case KORVAT_NFC_E_NO_PLUGIN: KnErrorName = "KORVAT_NFC_E_NO_PLUGIN"
    Case KORVAT_NFC_E_THREAD_CREATE: KnErrorName = "KORVAT_NFC_E_THREAD_CREATE"
    Case KORVAT_NFC_E_PORT_NOT_OPEN: KnErrorName = "KORVAT_NFC_E_PORT_NOT_OPEN"
    Case KORVAT_NFC_E_NO_CALLBACK_PARAM: KnErrorName = "KORVAT_NFC_E_NO_CALLBACK_PARAM"
    Case KORVAT_NFC_E_REGISTER_MESSAGE: KnErrorName = "KORVAT_NFC_E_REGISTER_MESSAGE"
    Case KORVAT_NFC_E_ALREADY_INITIALIZED: KnErrorName = "KORVAT_NFC_E_ALREADY_INITIALIZED"
    Case KORVAT_NFC_E_PORT_OPEN: KnErrorName = "KORVAT_NFC_E_PORT_OPEN"
    Case KORVAT_NFC_E_DRIVER_STATUS: KnErrorName = "KORVAT_NFC_E_DRIVER_STATUS"
    Case KORVAT_NFC_E_UNSUPPORTED_TARGET: KnErrorName = "KORVAT_NFC_E_UNSUPPORTED_TARGET"
    Case KORVAT_NFC_E_PROCESS_EXITING: KnErrorName = "KORVAT_NFC_E_PROCESS_EXITING"
    Case KORVAT_NFC_E_NO_EVENT: KnErrorName = "KORVAT_NFC_E_NO_EVENT"
    Case KORVAT_NFC_E_BUFFER_TOO_SMALL: KnErrorName = "KORVAT_NFC_E_BUFFER_TOO_SMALL"
    Case KORVAT_NFC_E_CARD_ERROR_1: KnErrorName = "KORVAT_NFC_E_CARD_ERROR_1"
    Case KORVAT_NFC_E_CARD_ERROR_2: KnErrorName = "KORVAT_NFC_E_CARD_ERROR_2"
    Case KORVAT_NFC_E_CARD_ERROR_OTHER: KnErrorName = "KORVAT_NFC_E_CARD_ERROR_OTHER"
    Case KORVAT_NFC_E_DEVICE_ERROR_1: KnErrorName = "KORVAT_NFC_E_DEVICE_ERROR_1"
    Case KORVAT_NFC_E_DEVICE_ERROR_2: KnErrorName = "KORVAT_NFC_E_DEVICE_ERROR_2"
    Case KORVAT_NFC_E_DEVICE_ERROR_3: KnErrorName = "KORVAT_NFC_E_DEVICE_ERROR_3"
    Case KORVAT_NFC_E_DEVICE_ERROR_4: KnErrorName = "KORVAT_NFC_E_DEVICE_ERROR_4"
    Case KORVAT_NFC_E_DEVICE_ERROR_5: KnErrorName = "KORVAT_NFC_E_DEVICE_ERROR_5"
    Case KORVAT_NFC_E_DEVICE_ERROR_OTHER: KnErrorName = "KORVAT_NFC_E_DEVICE_ERROR_OTHER"
    Case KORVAT_NFC_E_LOG_RELATIVE_PATH: KnErrorName = "KORVAT_NFC_E_LOG_RELATIVE_PATH"
    Case KORVAT_NFC_E_LOG_FILE_MISSING: KnErrorName = "KORVAT_NFC_E_LOG_FILE_MISSING"
    Case KORVAT_NFC_E_LOG_FILE_OPEN: KnErrorName = "KORVAT_NFC_E_LOG_FILE_OPEN"
    Case KORVAT_TAGS_E_INVALID_ARGUMENT: KnErrorName = "KORVAT_TAGS_E_INVALID_ARGUMENT"
    Case KORVAT_TAGS_E_UNSUPPORTED_TARGET: KnErrorName = "KORVAT_TAGS_E_UNSUPPORTED_TARGET"
    Case KORVAT_TAGS_E_NOT_NDEF_FORMATTED: KnErrorName = "KORVAT_TAGS_E_NOT_NDEF_FORMATTED"
    Case KORVAT_TAGS_E_READ_ONLY: KnErrorName = "KORVAT_TAGS_E_READ_ONLY"
    Case KORVAT_TAGS_E_TOO_LARGE: KnErrorName = "KORVAT_TAGS_E_TOO_LARGE"
    Case KORVAT_TAGS_E_REFUSED: KnErrorName = "KORVAT_TAGS_E_REFUSED"
    Case KORVAT_TAGS_E_INVALID_TAG: KnErrorName = "KORVAT_TAGS_E_INVALID_TAG"
    Case KORVAT_TAGS_E_BUFFER_TOO_SMALL: KnErrorName = "KORVAT_TAGS_E_BUFFER_TOO_SMALL"
    Case KORVAT_TAGS_E_INVALID_NDEF: KnErrorName = "KORVAT_TAGS_E_INVALID_NDEF"
    Case KORVAT_TAGS_E_NO_SUCH_RECORD: KnErrorName = "KORVAT_TAGS_E_NO_SUCH_RECORD"
    Case KORVAT_TAGS_E_WRONG_RECORD_TYPE: KnErrorName = "KORVAT_TAGS_E_WRONG_RECORD_TYPE"
    Case KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND: KnErrorName = "KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND"
    Case Else: KnErrorName = "error of the reader's plug-in"
    End Select
End Function

' "KORVAT_NFC_E_NO_PLUGIN (0x80C0000B), detail 0x00000000": the main library's last error.
Public Function KnLastErrorText() As String
    Dim pair(0 To 1) As Long
    korvatlib_nfc_get_last_error pair(0)
    KnLastErrorText = KnPairText(pair(0), pair(1))
End Function

' The same for the tag library's last error.
Public Function KnTagsLastErrorText() As String
    Dim pair(0 To 1) As Long
    korvatlib_tags_get_last_error pair(0)
    KnTagsLastErrorText = KnPairText(pair(0), pair(1))
End Function

Public Function KnPairText(ByVal code As Long, ByVal detail As Long) As String
    KnPairText = KnErrorName(code) & " (0x" & KnHex32(code) & "), detail 0x" & KnHex32(detail)
End Function

' ---------------------------------------------------------------------------------------------
' Bytes and text
' ---------------------------------------------------------------------------------------------

' "04 A1 B2": bytes as hex, for printing identifiers.
Public Function KnHex(ByRef b() As Byte) As String
    Dim i As Long, s As String
    For i = LBound(b) To UBound(b)
        s = s & IIf(i > LBound(b), " ", "") & Right$("0" & Hex$(b(i)), 2)
    Next i
    KnHex = s
End Function

' The UTF-8 bytes of `text` with a terminating NUL, for utf8_text arguments.
Public Function KnUtf8Bytes(ByVal text As String) As Byte()
    Dim b() As Byte, size As Long
    size = WideCharToMultiByte(65001, 0, StrPtr(text), Len(text), 0, 0, 0, 0)
    ReDim b(0 To size)
    If size > 0 Then WideCharToMultiByte 65001, 0, StrPtr(text), Len(text), b(0), size, 0, 0
    KnUtf8Bytes = b
End Function

' The text of `size` UTF-8 bytes from b(0) (a size out-parameter of the tag functions).
Public Function KnUtf8Text(ByRef b() As Byte, ByVal size As Long) As String
    Dim s As String, length As Long
    If size <= 0 Then Exit Function
    length = MultiByteToWideChar(65001, 0, b(LBound(b)), size, 0, 0)
    s = String$(length, vbNullChar)
    MultiByteToWideChar 65001, 0, b(LBound(b)), size, StrPtr(s), length
    KnUtf8Text = s
End Function

Private Function KnBytesAt(ByVal address As LongPtr, ByVal size As Long) As Byte()
    Dim b() As Byte
    If size <= 0 Or address = 0 Then
        KnBytesAt = vbNullString
        Exit Function
    End If
    ReDim b(0 To size - 1)
    RtlMoveMemory b(0), address, size
    KnBytesAt = b
End Function

' The text (UTF-8) of the `size`-byte field at `address`, to its first NUL or the field's end.
Private Function KnTextToNul(ByVal address As LongPtr, ByVal size As Long) As String
    Dim b() As Byte, n As Long
    b = KnBytesAt(address, size)
    Do While n < size
        If b(n) = 0 Then Exit Do
        n = n + 1
    Loop
    KnTextToNul = KnUtf8Text(b, n)
End Function

' `size` bytes of b from `offset` on, as an array from 0 (an empty array for size 0).
Private Function KnSlice(ByRef b() As Byte, ByVal offset As Long, ByVal size As Long) As Byte()
    Dim r() As Byte, i As Long
    If size <= 0 Then
        KnSlice = vbNullString
        Exit Function
    End If
    ReDim r(0 To size - 1)
    For i = 0 To size - 1
        r(i) = b(offset + i)
    Next i
    KnSlice = r
End Function

' Little-endian 32-bit word at `offset` (unsigned values above &H7FFFFFFF come out negative).
Private Function KnU32(ByRef b() As Byte, ByVal offset As Long) As Long
    Dim high As Long
    high = b(offset + 3)
    If high >= &H80 Then high = high - &H100
    KnU32 = b(offset) Or (CLng(b(offset + 1)) * &H100&) Or (CLng(b(offset + 2)) * &H10000) Or (high * &H1000000)
End Function

' Little-endian 16-bit word at `offset`, 0 to 65535.
Private Function KnU16(ByRef b() As Byte, ByVal offset As Long) As Long
    KnU16 = b(offset) Or (CLng(b(offset + 1)) * &H100&)
End Function

Private Function KnHex32(ByVal value As Long) As String
    KnHex32 = Right$("0000000" & Hex$(value), 8)
End Function
