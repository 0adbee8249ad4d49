/* Compiles the public headers as C11, the way a C application includes them: the record
 * layouts are checked by the header's own static assertions, and this program checks the
 * sizes an application computes from them. */
#include <stdio.h>

#include "korvat_nfc.h"
#include "korvat_nfc_plugin.h"
#include "korvat_nfc_tags.h"

_Static_assert(sizeof(KORVAT_NFC_BOOL) == 1, "one-byte boolean");
_Static_assert(sizeof(ErrorInfo) == 8, "error pair");
_Static_assert(offsetof(ErrorInfo, detail_code) == 4, "detail word second");
_Static_assert(sizeof(KORVAT_TAG_INFO) == 16 && offsetof(KORVAT_TAG_INFO, ndef_present) == 13, "tag information");
_Static_assert(offsetof(KORVAT_NDEF_RECORD, type) == 3 && sizeof(KORVAT_NDEF_RECORD) == 521, "NDEF record");

int main(void)
{
    int failures = 0;
    if (KORVAT_NFC_14443A_RECORD_SIZE(0) != 23 || KORVAT_NFC_14443B_RECORD_SIZE(0) != 21 ||
        KORVAT_NFC_18092_RECORD_SIZE(0) != 29) {
        puts("record size macros disagree with the layouts");
        ++failures;
    }
    if (offsetof(DEVICE_DATA_NFC_14443A_18092_106K, ATS) != KORVAT_NFC_14443A_RECORD_SIZE(0) ||
        offsetof(DEVICE_DATA_NFC_14443B_106K, ATTRIB) != KORVAT_NFC_14443B_RECORD_SIZE(0) ||
        offsetof(DEVICE_DATA_NFC_18092_212_424K, RD) != KORVAT_NFC_18092_RECORD_SIZE(0)) {
        puts("variable part does not start where the fixed part ends");
        ++failures;
    }
    puts(failures == 0 ? "public headers: layouts as documented" : "public headers: layout mismatch");
    return failures;
}
