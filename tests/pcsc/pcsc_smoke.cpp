// A smoke run of a PC/SC stack through winscard.dll: lists the readers, waits for a card on the
// chosen one through SCardGetStatusChange, connects, sends GET DATA (UID) and a SELECT of the NDEF
// application (then any --apdu given), prints the answers and waits for the card's removal.
//
// pcsc_smoke.exe [--reader SUBSTRING] [--timeout SECONDS] [--apdu HEX[=EXPECTED_PREFIX_HEX]]...
//                [--no-select] [--no-removal]
// Exit status 0 when every step gave what it should; 1 otherwise (the failing step is printed).
// Progress lines start with "smoke:"; a script drives the virtual card from them ("waiting for a
// card", "exchanges done").
#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

bool parse_hex(const std::string& text, Bytes& out) {
  out.clear();
  std::string digits;
  for (char c : text) {
    if (c != ' ' && c != ':') digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = digits.substr(i, 2);
    const long v = std::strtol(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) return false;
    out.push_back(static_cast<unsigned char>(v));
  }
  return true;
}

std::string hex(const unsigned char* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
    s += b;
  }
  return s;
}

struct Exchange {
  Bytes command;
  Bytes expected_prefix;  // empty: the answer must end in 90 00
};

struct Options {
  std::string reader = "Virtual PCD";
  DWORD timeout_ms = 30000;
  bool removal = true;
  bool select = true;  // SELECT of the NDEF application after GET DATA
  std::vector<Exchange> exchanges;
};

int fail(const char* step, LONG rc) {
  std::printf("smoke: FAILED at %s: 0x%08lX\n", step, static_cast<unsigned long>(rc));
  std::fflush(stdout);
  return 1;
}

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Waits until the reader's state has one of the bits in `want`, copying the event state into the
// current state after each change (otherwise the same change is reported again). Wine 10 over
// pcsc-lite does not block here: each call returns SCARD_S_SUCCESS at once with CHANGED set, and
// dwCurrentState reads back as 0. So a change is judged by the state bits and the event counter
// against the last state seen, and a return without one waits 20 ms before the next call.
LONG wait_for(SCARDCONTEXT ctx, SCARD_READERSTATEA& rs, DWORD& known, DWORD want, DWORD timeout_ms) {
  const auto start = Clock::now();
  const DWORD state_bits = ~static_cast<DWORD>(SCARD_STATE_CHANGED);
  int quiet_returns = 0;
  for (;;) {
    if (known & want) return SCARD_S_SUCCESS;
    const double left = timeout_ms - ms_since(start);
    if (left <= 0) return SCARD_E_TIMEOUT;
    rs.dwCurrentState = known;
    const LONG rc = SCardGetStatusChange(ctx, left < 500 ? static_cast<DWORD>(left) : 500, &rs, 1);
    if (rc == static_cast<LONG>(SCARD_E_TIMEOUT)) continue;
    if (rc != SCARD_S_SUCCESS) return rc;
    if (known != SCARD_STATE_UNAWARE && (rs.dwEventState & state_bits) == (known & state_bits)) {
      ++quiet_returns;
      Sleep(20);
      continue;
    }
    std::printf("smoke: event state 0x%08lX (count %lu) after %d returns without a change\n",
                static_cast<unsigned long>(rs.dwEventState), static_cast<unsigned long>(rs.dwEventState >> 16),
                quiet_returns);
    std::fflush(stdout);
    quiet_returns = 0;
    known = rs.dwEventState;
  }
}

bool transmit(SCARDHANDLE card, DWORD protocol, const Bytes& command, Bytes& answer, LONG& rc) {
  const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
  unsigned char buffer[4096];
  DWORD length = sizeof buffer;
  const auto start = Clock::now();
  rc = SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr, buffer, &length);
  const double took = ms_since(start);
  if (rc != SCARD_S_SUCCESS) return false;
  answer.assign(buffer, buffer + length);
  std::printf("smoke: > %s\nsmoke: < %s (%.2f ms)\n", hex(command.data(), command.size()).c_str(),
              hex(answer.data(), answer.size()).c_str(), took);
  std::fflush(stdout);
  return true;
}

bool parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--reader" && i + 1 < argc) {
      o.reader = argv[++i];
    } else if (a == "--timeout" && i + 1 < argc) {
      o.timeout_ms = static_cast<DWORD>(std::atof(argv[++i]) * 1000);
    } else if (a == "--no-removal") {
      o.removal = false;
    } else if (a == "--no-select") {
      o.select = false;
    } else if (a == "--apdu" && i + 1 < argc) {
      const std::string v = argv[++i];
      const size_t eq = v.find('=');
      Exchange e;
      if (!parse_hex(v.substr(0, eq), e.command) || e.command.size() < 4 ||
          (eq != std::string::npos && !parse_hex(v.substr(eq + 1), e.expected_prefix))) {
        std::printf("smoke: bad --apdu %s\n", v.c_str());
        return false;
      }
      o.exchanges.push_back(e);
    } else {
      std::printf("usage: pcsc_smoke [--reader SUBSTRING] [--timeout S] [--apdu HEX[=PREFIX]]... [--no-select] [--no-removal]\n");
      return false;
    }
  }
  return true;
}

int run(const Options& o, SCARDCONTEXT ctx) {
  DWORD chars = 0;
  LONG rc = SCardListReadersA(ctx, nullptr, nullptr, &chars);
  if (rc != SCARD_S_SUCCESS) return fail("SCardListReaders (size)", rc);
  // Two zeros beyond what the stack says it fills: the walk below ends inside the buffer even if
  // the list lacks its terminators.
  std::vector<char> names(chars + 2, '\0');
  rc = SCardListReadersA(ctx, nullptr, names.data(), &chars);
  if (rc != SCARD_S_SUCCESS) return fail("SCardListReaders", rc);
  std::string reader;
  for (const char* p = names.data(); *p; p += std::strlen(p) + 1) {
    std::printf("smoke: reader \"%s\"\n", p);
    if (reader.empty() && std::strstr(p, o.reader.c_str())) reader = p;
  }
  if (reader.empty()) return fail("finding a reader with that name", SCARD_E_UNKNOWN_READER);

  SCARD_READERSTATEA rs = {};
  rs.szReader = reader.c_str();
  DWORD known = SCARD_STATE_UNAWARE;
  std::printf("smoke: waiting for a card in \"%s\"\n", reader.c_str());
  std::fflush(stdout);
  const auto waiting = Clock::now();
  rc = wait_for(ctx, rs, known, SCARD_STATE_PRESENT, o.timeout_ms);
  if (rc != SCARD_S_SUCCESS) return fail("waiting for the card", rc);
  std::printf("smoke: card present after %.1f ms, ATR %s\n", ms_since(waiting),
              hex(rs.rgbAtr, std::min<size_t>(rs.cbAtr, sizeof rs.rgbAtr)).c_str());

  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  const auto connecting = Clock::now();
  rc = SCardConnectA(ctx, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
  if (rc != SCARD_S_SUCCESS) return fail("SCardConnect", rc);
  std::printf("smoke: connected, protocol T=%d (%.1f ms)\n", protocol == SCARD_PROTOCOL_T0 ? 0 : 1, ms_since(connecting));

  std::vector<Exchange> exchanges;
  Bytes b;
  parse_hex("FF CA 00 00 00", b);
  exchanges.push_back({b, {}});
  if (o.select) {
    parse_hex("00 A4 04 00 07 D2 76 00 00 85 01 01 00", b);
    exchanges.push_back({b, {}});
  }
  exchanges.insert(exchanges.end(), o.exchanges.begin(), o.exchanges.end());
  int status = 0;
  for (const Exchange& e : exchanges) {
    Bytes answer;
    if (!transmit(card, protocol, e.command, answer, rc)) {
      SCardDisconnect(card, SCARD_LEAVE_CARD);
      return fail("SCardTransmit", rc);
    }
    const bool ok = e.expected_prefix.empty()
                        ? answer.size() >= 2 && answer[answer.size() - 2] == 0x90 && answer.back() == 0x00
                        : answer.size() >= e.expected_prefix.size() &&
                              std::equal(e.expected_prefix.begin(), e.expected_prefix.end(), answer.begin());
    if (!ok) {
      std::printf("smoke: FAILED: unexpected answer (wanted %s)\n",
                  e.expected_prefix.empty() ? "... 90 00" : hex(e.expected_prefix.data(), e.expected_prefix.size()).c_str());
      status = 1;
    }
  }
  std::printf("smoke: exchanges done\n");
  std::fflush(stdout);

  if (o.removal && status == 0) {
    const auto removing = Clock::now();
    rc = wait_for(ctx, rs, known, SCARD_STATE_EMPTY, o.timeout_ms);
    if (rc != SCARD_S_SUCCESS) {
      SCardDisconnect(card, SCARD_LEAVE_CARD);
      return fail("waiting for the removal", rc);
    }
    std::printf("smoke: card removed (seen after %.1f ms)\n", ms_since(removing));
    Bytes answer;
    transmit(card, protocol, exchanges.front().command, answer, rc);
    std::printf("smoke: transmit after the removal: 0x%08lX\n", static_cast<unsigned long>(rc));
    if (rc != static_cast<LONG>(SCARD_W_REMOVED_CARD)) {
      std::printf("smoke: FAILED: a transmit to a removed card must give SCARD_W_REMOVED_CARD (0x80100069)\n");
      status = 1;
    }
  }
  rc = SCardDisconnect(card, SCARD_LEAVE_CARD);
  if (rc != SCARD_S_SUCCESS && !o.removal) return fail("SCardDisconnect", rc);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, o)) return 2;
  SCARDCONTEXT ctx = 0;
  LONG rc = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
  if (rc != SCARD_S_SUCCESS) return fail("SCardEstablishContext", rc);
  const int status = run(o, ctx);
  SCardReleaseContext(ctx);
  std::printf("smoke: %s\n", status == 0 ? "OK" : "FAILED");
  return status;
}
