#include "request.h"

#include "packet.h"

namespace emu::gdb {

namespace {

using Kind = Request::Kind;

Request of(Kind kind) {
  Request r;
  r.kind = kind;
  return r;
}

bool starts(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool number(std::string_view text, uint64_t& out) { return parse_hex(text, out); }

// "-1", "0", a hex id, or "pPID.TID" (the thread part counts).
bool thread_id(std::string_view text, ThreadId& out) {
  if (!text.empty() && text[0] == 'p') {
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos) {
      out = kAllThreads;
      return text.size() > 1;
    }
    text = text.substr(dot + 1);
  }
  if (text == "-1") {
    out = kAllThreads;
    return true;
  }
  uint64_t v = 0;
  if (!number(text, v) || v > 0x7FFFFFFFFFFFFFFFull) return false;
  out = static_cast<ThreadId>(v);
  return true;
}

// "ADDR,LENGTH" (the whole field).
bool address_length(std::string_view text, uint64_t& address, uint64_t& length) {
  const size_t comma = text.find(',');
  return comma != std::string_view::npos && number(text.substr(0, comma), address) &&
         number(text.substr(comma + 1), length);
}

Request malformed() { return of(Kind::malformed); }

Request memory_write(std::string_view body, bool binary) {
  Request r = of(Kind::write_memory);
  const size_t colon = body.find(':');
  if (colon == std::string_view::npos || !address_length(body.substr(0, colon), r.address, r.length))
    return malformed();
  const std::string_view bytes = body.substr(colon + 1);
  if (binary) {
    r.data.assign(bytes);
  } else if (!unhex(bytes, r.data)) {
    return malformed();
  }
  if (r.data.size() != r.length) return malformed();
  return r;
}

Request point(Kind kind, std::string_view body) {
  // "TYPE,ADDR,KIND" with optional ";cond" lists after it, which are not taken.
  Request r = of(kind);
  const size_t semicolon = body.find(';');
  body = body.substr(0, semicolon);
  const size_t comma = body.find(',');
  uint64_t type = 0;
  if (comma == std::string_view::npos || !number(body.substr(0, comma), type) || type > 4 ||
      !address_length(body.substr(comma + 1), r.address, r.length))
    return malformed();
  r.point_type = static_cast<unsigned>(type);
  return r;
}

// One vCont action: c, Cxx, s, Sxx, optionally ":thread".
bool resume_action(std::string_view text, ResumeAction& a) {
  const size_t colon = text.find(':');
  std::string_view what = text.substr(0, colon);
  if (colon != std::string_view::npos && !thread_id(text.substr(colon + 1), a.thread)) return false;
  if (what.empty()) return false;
  const char c = what[0];
  if (c == 'c' || c == 's') {
    if (what.size() != 1) return false;
    a.kind = c == 'c' ? ResumeAction::Kind::cont : ResumeAction::Kind::step;
    return true;
  }
  if (c == 'C' || c == 'S') {
    uint64_t sig = 0;
    if (!number(what.substr(1), sig) || sig > 255) return false;
    a.kind = c == 'C' ? ResumeAction::Kind::cont : ResumeAction::Kind::step;
    a.signal = static_cast<int>(sig);
    return true;
  }
  return false;
}

Request vcont(std::string_view body) {
  Request r = of(Kind::resume);
  // body: ";action;action..."
  if (body.empty() || body[0] != ';') return malformed();
  body.remove_prefix(1);
  for (;;) {
    const size_t semicolon = body.find(';');
    ResumeAction a;
    if (!resume_action(body.substr(0, semicolon), a)) return malformed();
    r.actions.push_back(a);
    if (semicolon == std::string_view::npos) break;
    body.remove_prefix(semicolon + 1);
  }
  return r;
}

// c [addr], s [addr], C sig[;addr], S sig[;addr]: resuming at another address
// is not offered.
Request legacy_resume(char c, std::string_view body) {
  Request r = of(Kind::resume);
  ResumeAction a;
  a.kind = (c == 'c' || c == 'C') ? ResumeAction::Kind::cont : ResumeAction::Kind::step;
  if (c == 'C' || c == 'S') {
    const size_t semicolon = body.find(';');
    uint64_t sig = 0;
    if (!number(body.substr(0, semicolon), sig) || sig > 255) return malformed();
    a.signal = static_cast<int>(sig);
    if (semicolon != std::string_view::npos) return malformed();
  } else if (!body.empty()) {
    return malformed();
  }
  r.actions.push_back(a);
  return r;
}

Request xfer(std::string_view body) {
  // "object:read:annex:offset,length"
  Request r = of(Kind::xfer_read);
  const size_t c1 = body.find(':');
  if (c1 == std::string_view::npos) return malformed();
  r.object.assign(body.substr(0, c1));
  body.remove_prefix(c1 + 1);
  if (!starts(body, "read:")) return of(Kind::unknown);  // writes are not offered
  body.remove_prefix(5);
  const size_t c2 = body.find(':');
  if (c2 == std::string_view::npos) return malformed();
  r.annex.assign(body.substr(0, c2));
  if (!address_length(body.substr(c2 + 1), r.address, r.length)) return malformed();
  return r;
}

Request query(std::string_view p) {
  if (starts(p, "qSupported")) {
    Request r = of(Kind::supported);
    std::string_view rest = p.substr(10);
    if (!rest.empty()) {
      if (rest[0] != ':') return of(Kind::unknown);
      rest.remove_prefix(1);
      for (;;) {
        const size_t semicolon = rest.find(';');
        r.features.emplace_back(rest.substr(0, semicolon));
        if (semicolon == std::string_view::npos) break;
        rest.remove_prefix(semicolon + 1);
      }
    }
    return r;
  }
  if (starts(p, "qXfer:")) return xfer(p.substr(6));
  if (p == "qAttached" || starts(p, "qAttached:")) return of(Kind::attached);
  if (p == "qC") return of(Kind::current_thread);
  if (p == "qfThreadInfo") return of(Kind::first_threads);
  if (p == "qsThreadInfo") return of(Kind::next_threads);
  if (starts(p, "qThreadExtraInfo,")) {
    Request r = of(Kind::thread_extra);
    if (!thread_id(p.substr(17), r.thread)) return malformed();
    return r;
  }
  if (starts(p, "qRcmd,")) {
    Request r = of(Kind::monitor);
    if (!unhex(p.substr(6), r.data)) return malformed();
    return r;
  }
  if (starts(p, "qSymbol")) return of(Kind::symbol);
  return of(Kind::unknown);
}

}  // namespace

Request parse(std::string_view p) {
  if (p.empty()) return of(Kind::unknown);
  const char c = p[0];
  const std::string_view body = p.substr(1);
  switch (c) {
    case '?':
      return body.empty() ? of(Kind::halt_reason) : malformed();
    case 'g':
      return body.empty() ? of(Kind::read_registers) : malformed();
    case 'G': {
      Request r = of(Kind::write_registers);
      if (!unhex(body, r.data)) return malformed();
      return r;
    }
    case 'p': {
      Request r = of(Kind::read_register);
      uint64_t n = 0;
      if (!number(body, n) || n > 0xFFFF) return malformed();
      r.reg = static_cast<unsigned>(n);
      return r;
    }
    case 'P': {
      Request r = of(Kind::write_register);
      const size_t eq = body.find('=');
      uint64_t n = 0;
      if (eq == std::string_view::npos || !number(body.substr(0, eq), n) || n > 0xFFFF ||
          !unhex(body.substr(eq + 1), r.data) || r.data.empty() || r.data.size() > 8)
        return malformed();
      r.reg = static_cast<unsigned>(n);
      for (size_t i = 0; i < r.data.size(); ++i)
        r.value |= static_cast<uint64_t>(static_cast<uint8_t>(r.data[i])) << (8 * i);
      return r;
    }
    case 'm': {
      Request r = of(Kind::read_memory);
      if (!address_length(body, r.address, r.length)) return malformed();
      return r;
    }
    case 'M':
      return memory_write(body, false);
    case 'X':
      return memory_write(body, true);
    case 'c':
    case 's':
    case 'C':
    case 'S':
      return legacy_resume(c, body);
    case 'b':
      if (body == "s" || body == "c") {
        Request r = of(Kind::resume);
        r.reverse = true;
        ResumeAction a;
        a.kind = body == "s" ? ResumeAction::Kind::reverse_step : ResumeAction::Kind::reverse_cont;
        r.actions.push_back(a);
        return r;
      }
      return of(Kind::unknown);
    case 'Z':
      return point(Kind::insert_point, body);
    case 'z':
      return point(Kind::remove_point, body);
    case 'k':
      return of(Kind::kill);
    case 'D':
      return body.empty() || body[0] == ';' ? of(Kind::detach) : malformed();
    case 'H': {
      Request r = of(Kind::set_thread);
      if (body.empty() || (body[0] != 'g' && body[0] != 'c') || !thread_id(body.substr(1), r.thread))
        return malformed();
      r.thread_op = body[0];
      return r;
    }
    case 'T': {
      Request r = of(Kind::thread_alive);
      if (!thread_id(body, r.thread)) return malformed();
      return r;
    }
    case 'q':
      return query(p);
    case 'Q':
      return p == "QStartNoAckMode" ? of(Kind::no_ack_mode) : of(Kind::unknown);
    case 'v':
      if (p == "vCont?") return of(Kind::resume_actions);
      if (starts(p, "vCont;")) return vcont(p.substr(5));
      if (starts(p, "vKill")) return of(Kind::kill);
      if (p == "vMustReplyEmpty") return of(Kind::must_reply_empty);
      return of(Kind::unknown);
    default:
      return of(Kind::unknown);
  }
}

}  // namespace emu::gdb
