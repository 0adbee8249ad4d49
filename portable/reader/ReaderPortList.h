// The list of ports a plug-in can open now, as gp_list_ports hands it to the library: entries
// "port name" NUL "reader name" NUL, the list ended by an empty entry (one more NUL). The plug-in
// side writes it (formatPortList), the library reads it back (parsePortList) from bytes it must
// not trust: every bound is checked here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace reader {

struct PortEntry {
    std::string portName;    // as gp_open_port_and_transition_nfc_mode takes it
    std::string readerName;  // the reader's own name (UTF-8), may be empty

    bool operator==(const PortEntry &other) const
    {
        return portName == other.portName && readerName == other.readerName;
    }
};

// The longest names, without their NUL (the library's reader record holds them with it).
const size_t MaximumPortNameLength = 63;
const size_t MaximumReaderNameLength = 127;

// The wire form of `entries`. False (and `out` empty) when a port name is empty or too long, or a
// name holds a NUL; a reader name longer than the limit is cut at a UTF-8 character boundary.
bool formatPortList(const std::vector<PortEntry> &entries, std::string &out);

// Reads `size` bytes of a list. False, with the reason, when the list is not ended within `size`,
// an entry has no reader name, a name is longer than its limit, or a port name is empty or
// listed twice; `entries` is then empty.
bool parsePortList(const char *data, size_t size, std::vector<PortEntry> &entries, std::string &error);

}  // namespace reader
