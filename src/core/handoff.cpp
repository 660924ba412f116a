#include "core/handoff.h"

#include <atomic>
#include <charconv>
#include <system_error>

#include "platform/localchannel.h"
#include "platform/process.h"

namespace vl::handoff {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::string_view word(std::string_view& rest) {
    const std::size_t end = rest.find(' ');
    const std::string_view w = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return w;
}

std::optional<long long> number(std::string_view s) {
    long long v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

milliseconds left(Clock::time_point deadline) {
    const auto d = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    return d.count() > 0 ? d : milliseconds(0);
}

// Reads lines until one that is not a heartbeat, or the deadline.
LocalChannel::Read answer(LocalChannel& c, std::string& line, Clock::time_point deadline) {
    for (;;) {
        const LocalChannel::Read r = c.readLine(line, left(deadline));
        if (r != LocalChannel::Read::Line || line != "VIVO") return r;
    }
}

} // namespace

std::string programIdentity(const fs::path& windowsProgram) {
    std::error_code ec;
    const auto size = fs::file_size(windowsProgram, ec);
    if (ec) return "ninguno";
    const auto time = fs::last_write_time(windowsProgram, ec);
    if (ec) return "ninguno";
    return std::to_string(size) + "-" + std::to_string(time.time_since_epoch().count());
}

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::optional<std::string> unhex(std::string_view text) {
    if (text.size() % 2) return std::nullopt;
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

bool carried(std::string_view name) {
    // The failed-move note is the launcher's own, for a fresh start only.
    return name.starts_with("VELANTIA_") && name != "VELANTIA_CIERRE_FALLIDO";
}

std::string helloLine(const std::string& identity) {
    return "VELANTIA " + std::to_string(Protocol) + " " + identity + "\n";
}

std::string encode(const Request& r) {
    std::string out = "DISPENSAR\n";
    for (const auto& [name, value] : r.environment)
        if (carried(name)) out += "ENV " + name + " " + hex(value) + "\n";
    out += "DIR " + hex(r.directory) + "\nLINEA " + hex(r.line) + "\nFIN_PETICION\n";
    return out;
}

RequestReader::State RequestReader::feed(std::string_view line) {
    if (!begun_) {
        begun_ = true;
        return line == "DISPENSAR" ? State::More : State::Bad;
    }
    if (line == "FIN_PETICION") return State::Done;
    std::string_view rest = line;
    const std::string_view key = word(rest);
    if (key == "ENV") {
        const std::string_view name = word(rest);
        const auto value = unhex(rest);
        if (!carried(name) || !value) return State::Bad;
        r_.environment.emplace_back(std::string(name), *value);
        return State::More;
    }
    if (key == "LINEA" || key == "DIR") {
        const auto value = unhex(rest);
        if (!value) return State::Bad;
        (key == "LINEA" ? r_.line : r_.directory) = *value;
        return State::More;
    }
    return State::Bad;
}

Message parseMessage(std::string_view line) {
    Message m;
    std::string_view rest = line;
    const std::string_view key = word(rest);
    if (key == "VIVO" && rest.empty()) {
        m.kind = Message::Alive;
    } else if (key == "MARCA") {
        m.text = std::string(word(rest));
        if (const auto v = number(rest); v && !m.text.empty()) {
            m.kind = Message::Mark;
            m.value = *v;
        }
    } else if (key == "AVISO") {
        if (const auto t = unhex(rest)) {
            m.kind = Message::Notice;
            m.text = *t;
        }
    } else if (key == "FIN") {
        if (const auto v = number(rest); v && *v >= 0 && *v <= 255) {
            m.kind = Message::End;
            m.value = *v;
        }
    }
    return m;
}

std::string endLine(int exitCode) {
    return "FIN " + std::to_string(exitCode);
}

namespace {

std::atomic<std::intptr_t> servedConnection{-1};

void onHardExit(int code) {
    const std::intptr_t c = servedConnection.load();
    if (c != -1) writeLastWords(c, endLine(code) + "\n");
}

} // namespace

void tellLauncherOnHardExit(std::intptr_t connection) {
    servedConnection = connection;
    setHardExitNotice(connection == -1 ? nullptr : &onHardExit);
}

Outcome serve(const std::string& address, const std::string& identity, const Request& request,
              const ClientHooks& hooks, milliseconds answerWithin, milliseconds silentLimit) {
    const auto deadline = Clock::now() + answerWithin;
    Outcome o;
    auto channel = LocalChannel::connect(address, answerWithin);
    if (!channel) {
        o.why = "no hay ventana preparada";
        return o;
    }
    if (!channel->send(helloLine(identity) + encode(request), answerWithin)) {
        o.why = channel->timedOut() ? "la ventana preparada no contesta a tiempo"
                                    : "la ventana preparada cerró la conexión";
        return o;
    }
    std::string line;
    const LocalChannel::Read r = answer(*channel, line, deadline);
    if (r != LocalChannel::Read::Line) {
        o.why = r == LocalChannel::Read::Timeout ? "la ventana preparada no contesta a tiempo"
                                                 : "la ventana preparada cerró la conexión";
        return o;
    }
    std::string_view rest = line;
    const std::string_view key = word(rest);
    if (key == "OCUPADO") {
        o.why = "la ventana preparada está atendiendo otra dispensación";
        return o;
    }
    if (key == "OTRA_VERSION") {
        o.why = "la ventana preparada es de otra versión del programa";
        return o;
    }
    if (key == "PREPARANDO") {
        o.why = "la ventana preparada aún está cargando el navegador";
        return o;
    }
    const auto pid = number(rest);
    if (key != "ACEPTADO" || !pid) {
        o.why = "la ventana preparada contestó de forma inesperada";
        return o;
    }
    o.pid = *pid;
    // Its window comes to the front as ours would.
    allowForeground(o.pid);
    // Past this line the call is the window process's: it is not started afresh any more.
    if (!channel->send("ADELANTE\n")) {
        o.why = "la ventana preparada cerró la conexión";
        return o;
    }
    o.kind = Outcome::Died;
    for (;;) {
        const LocalChannel::Read got = channel->readLine(line, silentLimit);
        if (got == LocalChannel::Read::Timeout) {
            o.kind = Outcome::Hung;
            return o;
        }
        if (got == LocalChannel::Read::Closed) return o;
        const Message m = parseMessage(line);
        switch (m.kind) {
        case Message::Mark:
            if (hooks.mark) hooks.mark(m.text, m.value);
            break;
        case Message::Notice:
            if (hooks.notice) hooks.notice(m.text);
            break;
        case Message::End:
            o.kind = Outcome::Served;
            o.exitCode = static_cast<int>(m.value);
            return o;
        case Message::Alive:
        case Message::Other:
            break;
        }
    }
}

Probe probe(const std::string& address, const std::string& identity, milliseconds within) {
    const auto deadline = Clock::now() + within;
    auto channel = LocalChannel::connect(address, within);
    if (!channel) return {};
    // A server that takes not even the question is there, but as silent as a hung one.
    if (!channel->send(helloLine(identity) + "PING\n", within))
        return channel->timedOut() ? Probe{Probe::Silent} : Probe{};
    std::string line;
    const LocalChannel::Read r = answer(*channel, line, deadline);
    if (r == LocalChannel::Read::Timeout) return {Probe::Silent};
    if (r != LocalChannel::Read::Line) return {};
    std::string_view rest = line;
    const std::string_view key = word(rest);
    if (key == "OTRA_VERSION") return {Probe::OtherVersion};
    const auto pid = key == "LISTO" || key == "PREPARANDO" ? number(rest) : std::nullopt;
    if (!pid) return {};
    return {key == "LISTO" ? Probe::Ready : Probe::Preparing, *pid};
}

std::optional<std::int64_t> ping(const std::string& address, const std::string& identity,
                                 milliseconds within) {
    const Probe p = probe(address, identity, within);
    if (p.kind != Probe::Ready) return std::nullopt;
    return p.pid;
}

bool askToQuit(const std::string& address, const std::string& identity) {
    auto channel = LocalChannel::connect(address, AnswerWithin);
    return channel && channel->send(helloLine(identity) + "SALIR\n");
}

} // namespace vl::handoff
