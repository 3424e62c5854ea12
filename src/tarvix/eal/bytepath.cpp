// tarvix.eal.bytepath: the work a device link does each time the device's
// output arrives, out of the interpreter.
//
// One Arrivals object per link holds the text read and not consumed yet (in
// the pieces it arrived in) and the window at its end that the patterns
// awaited are searched in, and reads the link's terminal or SSH channel
// itself: it waits, reads, decodes, writes the session log (the link's
// SessionLog, called with each arrival), follows the echo of the last line
// sent, and tells whether any pattern awaited could match what arrived, from
// what each pattern's match can end on (the endings of tarvix.eal.candidates).
// While none could, it goes on reading without returning to the
// interpreter; the regular expressions themselves run in Python once one
// could.  tarvix.eal.arrivals holds the same in Python, for where this
// module is not built, and says how both are used.
//
// Built for each interpreter with the full C API, or once as abi3 under the
// limited API of 3.6; the full API's faster calls are in src/native/*.hpp.

#include "pychars.hpp"
#include "pyclass.hpp"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace tvx {
namespace bytepath {

const char* const kModuleName = "tarvix.eal.bytepath";
const char* const kWatchCapsule = "tarvix.eal.bytepath.watch";

// ---------------------------------------------------------------- module state

struct Names {
    PyObject *read, *eof, *block_directions, *keepalive_send, *aborted, *closed, *eof_flag;
    PyObject *received, *feed, *head, *head_size, *end, *absent, *judged, *line, *reach;
    PyObject *channel, *session;
};
constexpr std::size_t kNames = sizeof(Names) / sizeof(PyObject*);

struct State {
    Names names;
    PyObject* arrivals_type;
};

PyObject** state_refs(State* st) { return reinterpret_cast<PyObject**>(&st->names); }

// ---------------------------------------------------------------- time and waits

double monotonic() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Milliseconds poll waits for `until` (rounded up, so that it never wakes
// just before its time and spins).
int poll_ms(double until) {
    const double left = until - monotonic();
    if (left <= 0) return 0;
    const double ms = std::ceil(left * 1000.0);
    return ms > 86400000.0 ? 86400000 : static_cast<int>(ms);
}

// Waits, without the interpreter's lock, until fd shows one of `events` or
// `until` (monotonic seconds) passes; a signal that interrupts it runs the
// interpreter's handlers, and one that raises ends the wait.  Returns the
// events seen (0: the time came), -1 with an error set.
__attribute__((noinline)) int wait_for_input(int fd, short events, double until) {
    for (;;) {
        struct pollfd one = {fd, events, 0};
        int ready, error;
        const int ms = poll_ms(until);
        Py_BEGIN_ALLOW_THREADS
        ready = poll(&one, 1, ms);
        error = errno;
        Py_END_ALLOW_THREADS
        if (ready >= 0) return ready ? (one.revents ? one.revents : events) : 0;
        if (error != EINTR) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

// ---------------------------------------------------------------- what a match can end on

struct CharClass {
    std::uint64_t low = 0, high = 0;
    bool other = false;
    bool has(Py_UCS4 c) const {
        if (c < 64) return (low >> c) & 1;
        if (c < 128) return (high >> (c - 64)) & 1;
        return other;
    }
};

struct Ending {
    enum Kind { kAlways, kEnd, kAny } kind = kAlways;
    CharClass last, trail;
    Py_ssize_t ahead = 0;
};

struct Watch {
    std::vector<Ending> endings;
    bool always = false;
};

// A class from its Python form (mask, other).
bool parse_class(PyObject* pair, CharClass* out) {
    if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
        PyErr_SetString(PyExc_TypeError, "a character class is a pair (mask, other)");
        return false;
    }
    PyObject* mask = PyTuple_GetItem(pair, 0);
    if (!mask || !PyLong_Check(mask)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a class's mask is an int");
        return false;
    }
    Ref shift(PyLong_FromLong(64));
    if (!shift) return false;
    Ref high(PyNumber_Rshift(mask, shift.get()));
    if (!high) return false;
    out->low = PyLong_AsUnsignedLongLongMask(mask);
    if (PyErr_Occurred()) return false;
    out->high = PyLong_AsUnsignedLongLongMask(high.get());
    if (PyErr_Occurred()) return false;
    const int other = PyObject_IsTrue(PyTuple_GetItem(pair, 1));
    if (other < 0) return false;
    out->other = other != 0;
    return true;
}

bool parse_ending(PyObject* item, Ending* ending) {
    if (!PyTuple_Check(item) || PyTuple_Size(item) < 1 || !PyUnicode_Check(PyTuple_GetItem(item, 0))) {
        PyErr_SetString(PyExc_TypeError, "an ending is a tuple that begins with its kind");
        return false;
    }
    PyObject* kind = PyTuple_GetItem(item, 0);
    const Py_ssize_t size = PyTuple_Size(item);
    if (PyUnicode_CompareWithASCIIString(kind, "always") == 0) {
        ending->kind = Ending::kAlways;
        return true;
    }
    const bool end = PyUnicode_CompareWithASCIIString(kind, "end") == 0;
    if ((!end && PyUnicode_CompareWithASCIIString(kind, "any") != 0) || size != 3) {
        PyErr_SetString(PyExc_ValueError, "an ending is (\"always\",), (\"end\", last, trail) or (\"any\", last, ahead)");
        return false;
    }
    if (!parse_class(PyTuple_GetItem(item, 1), &ending->last)) return false;
    if (end) {
        ending->kind = Ending::kEnd;
        return parse_class(PyTuple_GetItem(item, 2), &ending->trail);
    }
    ending->kind = Ending::kAny;
    ending->ahead = PyLong_AsSsize_t(PyTuple_GetItem(item, 2));
    if (ending->ahead < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "an ending's lookahead is not negative");
        return false;
    }
    return true;
}

void free_watch(PyObject* capsule) {
    delete static_cast<Watch*>(PyCapsule_GetPointer(capsule, kWatchCapsule));
}

// watch(endings): what the patterns of one wait can end on, for read().
PyObject* make_watch(PyObject*, PyObject* endings) {
    Ref items(PySequence_Tuple(endings));
    if (!items) return nullptr;
    Watch* watch = new Watch();
    const Py_ssize_t count = PyTuple_Size(items.get());
    watch->endings.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!parse_ending(PyTuple_GetItem(items.get(), i), &watch->endings[static_cast<std::size_t>(i)])) {
            delete watch;
            return nullptr;
        }
        if (watch->endings[static_cast<std::size_t>(i)].kind == Ending::kAlways) watch->always = true;
    }
    PyObject* capsule = PyCapsule_New(watch, kWatchCapsule, free_watch);
    if (!capsule) delete watch;
    return capsule;
}

// ---------------------------------------------------------------- the unread text

// The text read and not consumed: its pieces as they arrived, their size,
// and where in them the window begins that the patterns are searched in
// (the last `window` characters, or more when one arrival brought more).
class Unread {
public:
    Py_ssize_t size = 0;
    Py_ssize_t consumed = 0;
    Py_ssize_t start = 0;

    // An arrival of `length` characters.
    __attribute__((noinline)) void add(Ref text, Py_ssize_t length, Py_ssize_t window, Py_ssize_t overlap) {
        const Py_ssize_t old = size;
        size += length;
        if (length > window - overlap) {
            if (old - overlap > start) start = old - overlap;
        } else if (size - window > start) {
            start = size - window;
        }
        if (length) {
            pieces_.push_back(std::move(text));
            lengths_.push_back(length);
        }
        window_.reset();
    }

    // All of it as one str (kept so).
    Ref text() {
        if (pieces_.empty()) return Ref(PyUnicode_FromString(""));
        if (pieces_.size() > 1) {
            Ref joined = join(0, pieces_.size());
            if (!joined) return Ref();
            pieces_.assign(1, joined);
            lengths_.assign(1, size);
        }
        return pieces_[0];
    }

    // The window as a str, and where it begins.
    Ref window() {
        if (window_) return window_;
        if (pieces_.empty()) {
            window_ = Ref(PyUnicode_FromString(""));
            return window_;
        }
        // The pieces from the one the window begins in.
        std::size_t first = pieces_.size();
        Py_ssize_t at = size;
        while (first > 0 && at > start) {
            --first;
            at -= lengths_[first];
        }
        Ref joined = join(first, pieces_.size());
        if (!joined) return Ref();
        window_ = start > at ? Ref(PyUnicode_Substring(joined.get(), start - at, size - at)) : joined;
        return window_;
    }

    // Drops the text before `upto` and returns it.
    Ref consume(Py_ssize_t upto, Py_ssize_t window) {
        Ref all = text();
        if (!all) return Ref();
        const Py_ssize_t cut = upto < 0 ? 0 : (upto > size ? size : upto);
        Ref taken(PyUnicode_Substring(all.get(), 0, cut));
        Ref rest(PyUnicode_Substring(all.get(), cut, size));
        if (!taken || !rest) return Ref();
        consumed += upto;
        reset(std::move(rest), size - cut, window);
        return taken;
    }

    // Puts `text` (of `length` characters) back in front.
    bool push_back(PyObject* text, Py_ssize_t length, Py_ssize_t window) {
        Ref all = this->text();
        if (!all) return false;
        Ref both(PyUnicode_Concat(text, all.get()));
        if (!both) return false;
        consumed -= length;
        reset(std::move(both), size + length, window);
        return true;
    }

    // Calls visit(c) for the characters from index `from` to the end,
    // backwards; as each_char.
    template <class Visit>
    int backwards_from_end(Py_ssize_t from, Visit visit) {
        Py_ssize_t at = size;
        for (std::size_t i = pieces_.size(); i-- > 0;) {
            const Py_ssize_t begins = at - lengths_[i];
            const int stopped = each_char(pieces_[i].get(), from - begins, lengths_[i], true, visit);
            if (stopped) return stopped;
            at = begins;
            if (at <= from) break;
        }
        return 0;
    }

    void clear() {
        pieces_.clear();
        lengths_.clear();
        window_.reset();
    }

private:
    std::vector<Ref> pieces_;
    std::vector<Py_ssize_t> lengths_;
    Ref window_;

    Ref join(std::size_t first, std::size_t last) {
        if (last - first == 1) return pieces_[first];
        Ref list(PyList_New(static_cast<Py_ssize_t>(last - first)));
        if (!list) return Ref();
        for (std::size_t i = first; i < last; ++i) {
            PyObject* piece = pieces_[i].get();
            Py_INCREF(piece);
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i - first), piece);  // steals
        }
        Ref empty(PyUnicode_FromString(""));
        if (!empty) return Ref();
        return Ref(PyUnicode_Join(empty.get(), list.get()));
    }

    void reset(Ref text, Py_ssize_t length, Py_ssize_t window) {
        pieces_.clear();
        lengths_.clear();
        size = length;
        if (length) {
            pieces_.push_back(std::move(text));
            lengths_.push_back(length);
        }
        start = length > window ? length - window : 0;
        window_.reset();
    }
};

// ---------------------------------------------------------------- the link

struct Limits {
    Py_ssize_t window, overlap, anchor_reach, echo_scan, read_size;
};

// What is known of the Echo being followed (tarvix.eal.echo), so that its
// feed() runs only where it may find something: the line's last character,
// a first line end while it has not judged one, or the end of its scan.
struct EchoFollowed {
    Ref echo;
    Py_UCS4 last = 0;
    Py_ssize_t reach = 0;
    bool judged = false;
    bool settled = false;
    Ref head;
    Py_ssize_t head_size = 0;
};

enum Outcome { kText, kTimeout, kEnd, kError };
enum Kind { kTerminal = 1, kSsh = 2 };

struct Core {
    Ref module;
    const Names* names = nullptr;
    int kind = 0;
    int fd = -1;
    pid_t pid = 0;
    // An SSH channel's: the link (tarvix.eal.ssh.link.SshChannel), whose
    // ssh2-python channel and session are read from it at each read (the
    // link lets go of them when it closes), the library's exception class.
    Ref link, ssh_error;
    Ref channel, session;  // while a read lasts
    long eagain = 0, inbound = 0, outbound = 0;
    Py_ssize_t piece = 0;
    double keepalive = 0;
    Limits limits{};
    std::string pending;  // the start of a character not all read yet
    std::string raw;
    Unread unread;
    EchoFollowed echo;
};

struct ArrivalsObject {
    PyObject_HEAD
    Core* core;
};

Core& core_of(PyObject* self) { return *reinterpret_cast<ArrivalsObject*>(self)->core; }

// ---------------------------------------------------------------- reading a terminal

// Whether the terminal's program has ended (looked at, not collected: its
// owner collects it).
bool program_ended(pid_t pid) {
    if (pid <= 0) return false;
    siginfo_t info;
    std::memset(&info, 0, sizeof(info));
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0)
        return errno == ECHILD;
    return info.si_pid != 0;
}

// One read(2) of at most `room` more bytes into core.raw: >0 bytes, 0 the
// end, -1 nothing there, -2 with errno set.
// The bytes are read into a scratch buffer of the thread's and only those
// that came are kept: a link's own buffer holds what arrived, not 64 KB a
// session.
Py_ssize_t read_some(Core& core, std::size_t room) {
    static thread_local char scratch[65536];
    const std::size_t chunk = room < sizeof(scratch) ? room : sizeof(scratch);
    ssize_t got;
    do {
        got = ::read(core.fd, scratch, chunk);
    } while (got < 0 && errno == EINTR);
    if (got > 0) core.raw.append(scratch, static_cast<std::size_t>(got));
    if (got > 0) return got;
    if (got == 0 || errno == EIO) return 0;  // (Linux's end of a terminal: EIO)
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    return -2;
}

// What the terminal holds now, as pexpect reads it: everything there is at
// once, up to read_size bytes; without the interpreter's lock.  The last
// read's outcome: >0, 0 the end, -1 nothing (more) there, -2 with errno set.
Py_ssize_t drain_terminal(Core& core) {
    Py_ssize_t got = -1;
    while (core.raw.size() < static_cast<std::size_t>(core.limits.read_size)) {
        struct pollfd one = {core.fd, POLLIN, 0};
        if (poll(&one, 1, 0) <= 0) return -1;
        if (one.revents & POLLNVAL) {
            errno = EBADF;
            return -2;
        }
        got = read_some(core, static_cast<std::size_t>(core.limits.read_size) - core.raw.size());
        if (got <= 0) return got;
    }
    return got;
}

__attribute__((noinline)) Outcome read_terminal(Core& core, double until) {
    core.raw.clear();
    for (bool waited = false;; waited = true) {
        Py_ssize_t last;
        Py_BEGIN_ALLOW_THREADS
        last = drain_terminal(core);
        Py_END_ALLOW_THREADS
        if (!core.raw.empty()) return kText;
        if (last == 0) return kEnd;
        if (last == -2) {
            PyErr_SetFromErrno(PyExc_OSError);
            return kError;
        }
        // Nothing there: a program that has ended has nothing more to say.
        if (program_ended(core.pid)) return kEnd;
        if (waited) return kTimeout;
        const int ready = wait_for_input(core.fd, POLLIN, until);
        if (ready < 0) return kError;
        if (ready == 0) return program_ended(core.pid) ? kEnd : kTimeout;
    }
}

// ---------------------------------------------------------------- reading an SSH channel

int flag(PyObject* obj, PyObject* name) {
    Ref value = getattr(obj, name);
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// link._eof = True.
bool mark_ended(Core& core) { return setattr(core.link.get(), core.names->eof_flag, Py_True) == 0; }

// As SshChannel._wait: waits for the socket in the directions libssh2 is
// blocked on (sending keepalives as they fall due); 1 when it may go on, 0
// when `until` came, -1 with an error set, -2 once the link is aborted.
int wait_for_channel(Core& core, double until) {
    int aborted = flag(core.link.get(), core.names->aborted);
    if (aborted) return aborted < 0 ? -1 : -2;
    Ref directions = vectorcall_method(core.session.get(), core.names->block_directions);
    if (!directions) return -1;
    const long blocked = PyLong_AsLong(directions.get());
    if (blocked == -1 && PyErr_Occurred()) return -1;
    double wait = until - monotonic();
    if (core.keepalive > 0) {
        Ref next = vectorcall_method(core.session.get(), core.names->keepalive_send);
        if (!next) return -1;
        const double due = PyFloat_AsDouble(next.get());
        if (due == -1.0 && PyErr_Occurred()) return -1;
        if (due < wait) wait = due;
    }
    if (wait <= 0) return 0;
    short events = 0;
    if ((blocked & core.inbound) || !blocked) events |= POLLIN;
    if (blocked & core.outbound) events |= POLLOUT;
    if (wait_for_input(core.fd, events, monotonic() + wait) < 0) return -1;
    aborted = flag(core.link.get(), core.names->aborted);
    if (aborted) return aborted < 0 ? -1 : -2;
    return 1;
}

// The channel's read(): its rc (-1 for a call that failed, with the error
// set); appends what it read to core.raw.
long read_channel_once(Core& core, Py_ssize_t size) {
    Ref wanted(PyLong_FromSsize_t(size));
    if (!wanted) return -1;
    Ref answer = vectorcall_method(core.channel.get(), core.names->read, wanted.get());
    if (!answer) return -1;
    if (!PyTuple_Check(answer.get()) || PyTuple_Size(answer.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "an SSH channel's read() gives (rc, data)");
        return -1;
    }
    const long rc = PyLong_AsLong(PyTuple_GetItem(answer.get(), 0));
    if (rc == -1 && PyErr_Occurred()) return -1;
    if (rc == -1) return -3;  // (libssh2's LIBSSH2_ERROR_SOCKET_NONE: an error code, not a failed call)
    if (rc > 0) {
        char* data = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(PyTuple_GetItem(answer.get(), 1), &data, &length) < 0) return -1;
        core.raw.append(data, static_cast<std::size_t>(length));
    }
    return rc;
}

// The end of a read whose call failed: an error of the SSH library ends the
// link (unless something was read first, which is taken); others are
// passed on.
Outcome failed(Core& core) {
    if (!PyErr_ExceptionMatches(core.ssh_error.get())) return kError;
    PyErr_Clear();
    if (!core.raw.empty()) return kText;
    return mark_ended(core) ? kEnd : kError;
}

// As SshChannel.read_nonblocking: everything at hand up to read_size
// bytes, waiting until `until` for the first.
Outcome read_channel(Core& core, double until);

__attribute__((noinline)) Outcome read_ssh(Core& core, double until) {
    core.raw.clear();
    PyObject* const ends[] = {core.names->eof_flag, core.names->closed, core.names->aborted};
    for (PyObject* name : ends) {
        const int set = flag(core.link.get(), name);
        if (set < 0) return kError;
        if (set) return kEnd;
    }
    core.channel = getattr(core.link.get(), core.names->channel);
    core.session = core.channel ? getattr(core.link.get(), core.names->session) : Ref();
    if (!core.channel || !core.session) {
        core.channel.reset();
        return kError;
    }
    Outcome outcome = kEnd;
    if (core.channel.get() != Py_None && core.session.get() != Py_None) outcome = read_channel(core, until);
    core.channel.reset();
    core.session.reset();
    return outcome;
}

Outcome read_channel(Core& core, double until) {
    const std::size_t size = static_cast<std::size_t>(core.limits.read_size);
    const std::size_t piece = static_cast<std::size_t>(core.piece);
    while (core.raw.size() < size) {
        const std::size_t room = size - core.raw.size();
        const long rc = read_channel_once(core, static_cast<Py_ssize_t>(room < piece ? room : piece));
        if (rc == -1) return failed(core);
        if (rc > 0) continue;
        if (rc == 0) {
            Ref ended = vectorcall_method(core.channel.get(), core.names->eof);
            if (!ended) return failed(core);
            const int at_end = PyObject_IsTrue(ended.get());
            if (at_end < 0) return kError;
            if (at_end) {
                if (!mark_ended(core)) return kError;
                break;
            }
        }
        if (!core.raw.empty()) break;
        if (rc == 0 || rc == core.eagain) {
            const int waited = wait_for_channel(core, until);
            if (waited == -1) return failed(core);
            if (waited == -2) return kEnd;
            if (waited == 0) return kTimeout;
            continue;
        }
        return mark_ended(core) ? kEnd : kError;
    }
    return core.raw.empty() ? kEnd : kText;
}

// ---------------------------------------------------------------- one arrival

// The bytes read as text, with a character begun at the end kept for the
// next read (as the incremental decoder of UTF-8 with errors="replace").
__attribute__((noinline)) Ref decode(Core& core) {
    const char* data = core.raw.data();
    std::size_t length = core.raw.size();
    std::string joined;
    if (!core.pending.empty()) {
        joined = core.pending + core.raw;
        data = joined.data();
        length = joined.size();
    }
    Py_ssize_t used = 0;
    Ref text(PyUnicode_DecodeUTF8Stateful(data, static_cast<Py_ssize_t>(length), "replace", &used));
    if (!text) return Ref();
    core.pending.assign(data + used, length - static_cast<std::size_t>(used));
    // A large arrival's buffer is let go; a small one serves the next.
    if (core.raw.capacity() > 4096) std::string().swap(core.raw);
    return text;
}

bool has_char(PyObject* text, Py_UCS4 c, Py_ssize_t length, bool* found) {
    const Py_ssize_t at = PyUnicode_FindChar(text, c, 0, length, 1);
    if (at == -2) return false;
    *found = at >= 0;
    return true;
}

// Reloads what is known of the echo from the object.
bool load_echo(Core& core, PyObject* echo) {
    const Names& n = *core.names;
    EchoFollowed& f = core.echo;
    f.echo = Ref::borrow(echo);
    Ref end = getattr(echo, n.end), absent = getattr(echo, n.absent), judged = getattr(echo, n.judged);
    Ref head = getattr(echo, n.head), head_size = getattr(echo, n.head_size);
    if (!end || !absent || !judged || !head || !head_size) return false;
    const int is_absent = PyObject_IsTrue(absent.get()), is_judged = PyObject_IsTrue(judged.get());
    if (is_absent < 0 || is_judged < 0) return false;
    f.settled = end.get() != Py_None || is_absent;
    f.judged = is_judged != 0;
    if (!PyUnicode_Check(head.get())) {
        PyErr_SetString(PyExc_TypeError, "an echo's head is a str");
        return false;
    }
    f.head = head;
    f.head_size = PyLong_AsSsize_t(head_size.get());
    if (f.head_size == -1 && PyErr_Occurred()) return false;
    Ref line = getattr(echo, n.line), reach = getattr(echo, n.reach);
    if (!line || !reach) return false;
    const Py_ssize_t line_length = PyUnicode_Check(line.get()) ? str_length(line.get()) : -1;
    if (line_length < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an echo's line is a str");
        return false;
    }
    f.reach = PyLong_AsSsize_t(reach.get());
    if (f.reach == -1 && PyErr_Occurred()) return false;
    if (line_length == 0) {
        f.settled = true;  // (an empty line has no echo to look for here)
        return true;
    }
    f.last = PyUnicode_ReadChar(line.get(), line_length - 1);
    return !PyErr_Occurred();
}

// Follows the echo through one arrival: Echo.feed(text) where it may find
// something, else what feed() would do when it finds nothing (the head
// kept, its size counted).  *fed tells that feed() ran.
__attribute__((noinline)) bool follow_echo(Core& core, PyObject* echo, PyObject* text, Py_ssize_t length,
                                           bool* fed) {
    EchoFollowed& f = core.echo;
    if (f.echo.get() != echo && !load_echo(core, echo)) return false;
    if (f.settled) return true;
    bool may_end = false, line_end = false;
    if (!has_char(text, f.last, length, &may_end)) return false;
    if (!may_end && !f.judged && !has_char(text, '\n', length, &line_end)) return false;
    if (may_end || line_end || f.head_size + length > core.limits.echo_scan) {
        *fed = true;
        Ref done = vectorcall_method(echo, core.names->feed, text);
        f.echo.reset();  // read again next time
        return static_cast<bool>(done);
    }
    const Py_ssize_t head_length = str_length(f.head.get());
    if (head_length < 0) return false;
    Ref kept = head_length > f.reach ? Ref(PyUnicode_Substring(f.head.get(), head_length - f.reach, head_length))
                                     : f.head;
    if (!kept) return false;
    Ref head(PyUnicode_Concat(kept.get(), text));
    if (!head) return false;
    Ref size(PyLong_FromSsize_t(f.head_size + length));
    if (!size || setattr(echo, core.names->head_size, size.get()) < 0) return false;
    if (setattr(echo, core.names->head, head.get()) < 0) return false;
    f.head = head;
    f.head_size += length;
    return true;
}

// Whether a pattern of `watch` could match now that `text` (`length`
// characters) arrived after `before` characters: 1, 0, -1 with an error.
__attribute__((noinline)) int could_match(Core& core, const Watch& watch, PyObject* text, Py_ssize_t length,
                                          Py_ssize_t before) {
    if (watch.always) return 1;
    // A large arrival moves the window past what was searched before:
    // searched again whole.
    if (length > core.limits.overlap) return 1;
    for (const Ending& ending : watch.endings) {
        if (ending.kind == Ending::kAny) {
            // A new match consumes a character that arrived, or ends close
            // enough before them for its assertions to see them.
            const CharClass& last = ending.last;
            const auto in_last = [&last](Py_UCS4 c) { return last.has(c); };
            int found = each_char(text, 0, length, false, in_last);
            if (found == 0 && ending.ahead > 0)
                found = core.unread.backwards_from_end(before - ending.ahead - 1, [&](Py_UCS4 c) {
                    return last.has(c);
                });
            if (found) return found;
        } else {
            // The match ends the text: its last character, then only
            // characters of its trailing class.
            const CharClass& last = ending.last;
            const CharClass& trail = ending.trail;
            int verdict = 0;
            Py_ssize_t looked = 0;
            const Py_ssize_t reach = core.limits.anchor_reach;
            const int stopped = core.unread.backwards_from_end(0, [&](Py_UCS4 c) {
                if (last.has(c)) {
                    verdict = 1;
                    return true;
                }
                if (!trail.has(c)) return true;
                if (++looked >= reach) {
                    verdict = 1;
                    return true;
                }
                return false;
            });
            if (stopped < 0) return -1;
            if (verdict) return 1;
        }
    }
    return 0;
}

// One arrival: the session log, the unread text, the echo; whether a
// pattern of `watch` could match (1), not (0), or -1 with an error set.
int arrive(Core& core, PyObject* text, PyObject* echo, PyObject* log, const Watch* watch, bool* fed) {
    const Py_ssize_t length = str_length(text);
    if (length < 0) return -1;
    if (log != Py_None) {
        Ref done = vectorcall_method(log, core.names->received, text);
        if (!done) return -1;
    }
    const Py_ssize_t before = core.unread.size;
    core.unread.add(Ref::borrow(text), length, core.limits.window, core.limits.overlap);
    if (echo != Py_None && length && !follow_echo(core, echo, text, length, fed)) return -1;
    if (!watch || !length) return watch ? 0 : 1;
    return could_match(core, *watch, text, length, before);
}

// ---------------------------------------------------------------- the methods

// read(timeout, fixed, idle, echo, log, watch) -> (characters, before,
// when, arrivals): waits at most `timeout` seconds for the device's output
// and takes what arrives.  With a watch it goes on reading while no pattern
// could match, until `fixed` seconds from now (None: `timeout`) or `idle`
// seconds after the last arrival (None: never); without, it returns after
// one arrival.  `characters` is -1 at the link's end (with
// nothing read), 0 when the time came first; `before` is the unread size
// before the last arrival, `when` its time.
__attribute__((noinline)) PyObject* gather(PyObject* self, double timeout, PyObject* fixed_object, PyObject* idle,
                                           PyObject* echo, PyObject* log, PyObject* watch_object) {
    Core& core = core_of(self);
    const Watch* watch = nullptr;
    if (watch_object != Py_None) {
        watch = static_cast<const Watch*>(PyCapsule_GetPointer(watch_object, kWatchCapsule));
        if (!watch) return nullptr;
    }
    const double now = monotonic();
    double until = now + (timeout > 0 ? timeout : 0);
    double fixed = until;
    if (fixed_object != Py_None) {
        const double seconds = PyFloat_AsDouble(fixed_object);
        if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
        fixed = now + (seconds > 0 ? seconds : 0);
    }
    double quiet = -1;
    if (idle != Py_None) {
        quiet = PyFloat_AsDouble(idle);
        if (quiet == -1.0 && PyErr_Occurred()) return nullptr;
    }
    Py_ssize_t got = 0, before = core.unread.size, count = 0;
    double when = 0;
    bool ended = false;
    for (;;) {
        const Outcome outcome = core.kind == kSsh ? read_ssh(core, until) : read_terminal(core, until);
        if (outcome == kError) return nullptr;
        if (outcome == kTimeout) break;
        if (outcome == kEnd) {
            ended = true;
            break;
        }
        Ref text = decode(core);
        if (!text) return nullptr;
        const Py_ssize_t length = str_length(text.get());
        if (length < 0) return nullptr;
        const Py_ssize_t was = core.unread.size;
        bool fed = false;
        const int verdict = arrive(core, text.get(), echo, log, watch, &fed);
        if (verdict < 0) return nullptr;
        if (!length) continue;  // a character begun: nothing arrived yet
        got += length;
        before = was;
        when = monotonic();
        ++count;
        if (verdict || fed) break;
        until = quiet >= 0 && when + quiet < fixed ? when + quiet : fixed;
    }
    if (ended && !got) got = -1;
    return Py_BuildValue("(nndn)", got, before, when, count);
}

PyObject* read_method(PyObject* self, PyObject* args) {
    double timeout = 0;
    PyObject *fixed, *idle, *echo, *log, *watch;
    if (!PyArg_ParseTuple(args, "dOOOOO:read", &timeout, &fixed, &idle, &echo, &log, &watch)) return nullptr;
    return gather(self, timeout, fixed, idle, echo, log, watch);
}

// feed(data, echo, log, watch) -> whether a pattern could match: bytes
// taken as if they had arrived (for tests and the fuzzers).
PyObject* feed_method(PyObject* self, PyObject* args) {
    PyObject *data, *echo, *log, *watch_object;
    if (!PyArg_ParseTuple(args, "O!OOO:feed", &PyBytes_Type, &data, &echo, &log, &watch_object)) return nullptr;
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(data, &bytes, &length) < 0) return nullptr;
    Core& core = core_of(self);
    core.raw.assign(bytes, static_cast<std::size_t>(length));
    const Watch* watch = nullptr;
    if (watch_object != Py_None) {
        watch = static_cast<const Watch*>(PyCapsule_GetPointer(watch_object, kWatchCapsule));
        if (!watch) return nullptr;
    }
    Ref text = decode(core);
    if (!text) return nullptr;
    bool fed = false;
    const int verdict = arrive(core, text.get(), echo, log, watch, &fed);
    if (verdict < 0) return nullptr;
    return boolean(verdict != 0).release();
}

PyObject* text_method(PyObject* self, PyObject*) { return core_of(self).unread.text().release(); }

PyObject* window_method(PyObject* self, PyObject*) {
    Core& core = core_of(self);
    Ref window = core.unread.window();
    if (!window) return nullptr;
    return Py_BuildValue("(On)", window.get(), core.unread.start);
}

PyObject* consume_method(PyObject* self, PyObject* arg) {
    const Py_ssize_t upto = PyLong_AsSsize_t(arg);
    if (upto == -1 && PyErr_Occurred()) return nullptr;
    Core& core = core_of(self);
    return core.unread.consume(upto, core.limits.window).release();
}

PyObject* push_back_method(PyObject* self, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "push_back() takes a str");
        return nullptr;
    }
    const Py_ssize_t length = str_length(arg);
    if (length < 0) return nullptr;
    Core& core = core_of(self);
    if (!core.unread.push_back(arg, length, core.limits.window)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_size(PyObject* self, void*) { return PyLong_FromSsize_t(core_of(self).unread.size); }
PyObject* get_consumed(PyObject* self, void*) { return PyLong_FromSsize_t(core_of(self).unread.consumed); }

PyMethodDef arrivals_methods[] = {
    {"read", read_method, METH_VARARGS,
     "read($self, timeout, fixed, idle, echo, log, watch)\n--\n\n"
     "Takes what the device prints: (characters, unread size before the last arrival, its time, arrivals)."},
    {"feed", feed_method, METH_VARARGS,
     "feed($self, data, echo, log, watch)\n--\n\nTakes bytes as if they had arrived; whether a pattern could match."},
    {"text", text_method, METH_NOARGS, "text($self)\n--\n\nAll the unread text."},
    {"window", window_method, METH_NOARGS, "window($self)\n--\n\n(the window searched, where it begins)."},
    {"consume", consume_method, METH_O, "consume($self, upto)\n--\n\nDrops the unread text before upto; returns it."},
    {"push_back", push_back_method, METH_O, "push_back($self, text)\n--\n\nPuts text back in front."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef arrivals_getset[] = {
    {const_cast<char*>("size"), get_size, nullptr, const_cast<char*>("Characters unread."), nullptr},
    {const_cast<char*>("consumed"), get_consumed, nullptr, const_cast<char*>("Characters consumed."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int arrivals_traverse(PyObject* self, visitproc visit, void* arg) {
    Core* core = reinterpret_cast<ArrivalsObject*>(self)->core;
    if (!core) return 0;
    for (PyObject* held : {core->module.get(), core->link.get(), core->channel.get(), core->session.get(),
                           core->ssh_error.get(), core->echo.echo.get()})
        Py_VISIT(held);
    return 0;
}

int arrivals_clear(PyObject* self) {
    ArrivalsObject* object = reinterpret_cast<ArrivalsObject*>(self);
    Core* core = object->core;
    object->core = nullptr;
    delete core;
    return 0;
}

void arrivals_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    arrivals_clear(self);
    freefunc release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(self);
    Py_DECREF(type);
}

PyObject* arrivals_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "Arrivals are made by tarvix.eal.bytepath.terminal() or ssh()");
    return nullptr;
}

PyType_Slot arrivals_slots[] = {
    {Py_tp_doc, const_cast<char*>("The unread text of one link, and its reads (see the module).")},
    {Py_tp_methods, arrivals_methods},
    {Py_tp_getset, arrivals_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(arrivals_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(arrivals_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(arrivals_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(arrivals_new)},
    {0, nullptr},
};

PyType_Spec arrivals_shape = {
    "tarvix.eal.bytepath.Arrivals",
    static_cast<int>(sizeof(ArrivalsObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    arrivals_slots,
};

// ---------------------------------------------------------------- making one

bool parse_limits(PyObject* limits, Limits* out) {
    Py_ssize_t* fields[] = {&out->window, &out->overlap, &out->anchor_reach, &out->echo_scan, &out->read_size};
    Ref items(PySequence_Tuple(limits));
    if (!items) return false;
    if (PyTuple_Size(items.get()) != 5) {
        PyErr_SetString(PyExc_ValueError, "limits: (window, overlap, anchor reach, echo scan, read size)");
        return false;
    }
    for (Py_ssize_t i = 0; i < 5; ++i) {
        *fields[i] = PyLong_AsSsize_t(PyTuple_GetItem(items.get(), i));
        if (*fields[i] == -1 && PyErr_Occurred()) return false;
        if (*fields[i] <= 0) {
            PyErr_SetString(PyExc_ValueError, "limits are positive");
            return false;
        }
    }
    return true;
}

PyObject* made(PyObject* module, Core* core) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) {
        delete core;
        return nullptr;
    }
    core->module = Ref::borrow(module);
    core->names = &st->names;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(st->arrivals_type);
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) {
        delete core;
        return nullptr;
    }
    reinterpret_cast<ArrivalsObject*>(self)->core = core;
    return self;
}

// terminal(fd, pid, limits): the Arrivals of a pseudo-terminal's master
// (pid: its program's, 0 for none).
PyObject* make_terminal(PyObject* module, PyObject* args) {
    int fd = -1;
    long pid = 0;
    PyObject* limits;
    if (!PyArg_ParseTuple(args, "ilO:terminal", &fd, &pid, &limits)) return nullptr;
    Core* core = new Core();
    core->kind = kTerminal;
    core->fd = fd;
    core->pid = static_cast<pid_t>(pid);
    if (!parse_limits(limits, &core->limits)) {
        delete core;
        return nullptr;
    }
    return made(module, core);
}

// ssh(link, fd, keepalive, ssh_error, codes, limits): the Arrivals of an
// SSH shell channel, the link an SshChannel (codes: libssh2's EAGAIN, its
// blocked inbound and outbound directions, the most bytes asked at once).
PyObject* make_ssh(PyObject* module, PyObject* args) {
    PyObject *link, *ssh_error, *limits;
    int fd = -1;
    double keepalive = 0;
    long eagain = 0, inbound = 0, outbound = 0;
    Py_ssize_t piece = 0;
    if (!PyArg_ParseTuple(args, "OidO(llln)O:ssh", &link, &fd, &keepalive, &ssh_error, &eagain, &inbound,
                          &outbound, &piece, &limits))
        return nullptr;
    if (piece <= 0) {
        PyErr_SetString(PyExc_ValueError, "the bytes asked at once are positive");
        return nullptr;
    }
    Core* core = new Core();
    core->kind = kSsh;
    core->link = Ref::borrow(link);
    core->ssh_error = Ref::borrow(ssh_error);
    core->fd = fd;
    core->keepalive = keepalive;
    core->eagain = eagain;
    core->inbound = inbound;
    core->outbound = outbound;
    core->piece = piece;
    if (!parse_limits(limits, &core->limits)) {
        delete core;
        return nullptr;
    }
    return made(module, core);
}

PyMethodDef module_methods[] = {
    {"terminal", make_terminal, METH_VARARGS,
     "terminal(fd, pid, limits)\n--\n\nThe Arrivals of a pseudo-terminal."},
    {"ssh", make_ssh, METH_VARARGS,
     "ssh(link, fd, keepalive, ssh_error, codes, limits)\n--\n\nThe Arrivals of an SSH channel."},
    {"watch", make_watch, METH_O, "watch(endings)\n--\n\nWhat the patterns of one wait can end on."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- the module

int exec_module(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    const char* const names[kNames] = {"read", "eof", "block_directions", "keepalive_send", "aborted", "closed",
                                       "_eof", "received", "feed", "head", "head_size", "end", "absent",
                                       "judged", "line", "reach", "channel", "session"};
    for (std::size_t i = 0; i < kNames; ++i) {
        state_refs(st)[i] = intern(names[i]);
        if (!state_refs(st)[i]) return -1;
    }
    st->arrivals_type = PyType_FromSpec(&arrivals_shape);
    if (!st->arrivals_type) return -1;
    Py_INCREF(st->arrivals_type);
    if (PyModule_AddObject(module, "Arrivals", st->arrivals_type) < 0) {
        Py_DECREF(st->arrivals_type);
        return -1;
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) return 0;
    Py_VISIT(st->arrivals_type);
    return 0;
}

int module_clear(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) return 0;
    for (std::size_t i = 0; i < kNames; ++i) Py_CLEAR(state_refs(st)[i]);
    Py_CLEAR(st->arrivals_type);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "The work a device link does on each arrival of the device's output, out of the interpreter "
    "(see tarvix.eal.arrivals).",
    sizeof(State),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace bytepath
}  // namespace tvx

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_bytepath(void) {
    return PyModuleDef_Init(&tvx::bytepath::module_def);
}
