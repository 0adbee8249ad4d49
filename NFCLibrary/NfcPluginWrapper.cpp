#include "NfcPluginWrapper.h"

#include <cstring>

#include "NfcLogProxy.h"
#include "korvat_nfc.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcPluginWrapper.cpp";

void NfcPluginWrapper::reportMissingEntry(ErrorInfo *error)
{
    NFC_LOG(0, "ERROR! PluginFuncPtr = NULL\n");
    error->error_code = KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING;
}

NfcPluginWrapper::NfcPluginWrapper()
{
    clearFunctionTable();
}

NfcPluginWrapper::~NfcPluginWrapper()
{
    clearFunctionTable();
}

void NfcPluginWrapper::setFunctionTable(const PluginFunctionTable &table)
{
    m_Functions = table;
}

void NfcPluginWrapper::setOptionalTable(const PluginOptionalTable &table)
{
    m_Optional = table;
}

void NfcPluginWrapper::clearFunctionTable()
{
    std::memset(&m_Functions, 0, sizeof(m_Functions));
    std::memset(&m_Optional, 0, sizeof(m_Optional));
}
