// How reading the NDEF message of a tag ended.
#pragma once

enum class TagReadOutcome {
    Reading,       // more commands to send
    Message,       // the NDEF message was read (it may still be malformed: NdefMessage checks it)
    NoMessage,     // the tag is initialised but holds no NDEF message (length 0)
    Refused,       // the card refused a command (status word or status flags)
    InvalidTag,    // something the tag said is impossible or unsupported; nothing more is sent
};
