// The Python module tn3270e: TN3270E sessions and the embedded demo host for
// Python programs, on the library's operator interface (component/uOperator.h)
// that the tn3270 program's script mode drives too, with the same verbs and
// the same errors, each error kind a Python exception class.
//
// Threads and the GIL. Every call that may block (connect, the waits, a key,
// the screen and field reads and the file writes, which take the
// component's session lock) runs with the GIL released, so sessions in
// several Python threads work at once; the waits are the operator's, woken
// by a screen, an unlock or a disconnect, never polling. The component's reader
// thread never touches Python: there are no Python callbacks. Calls on one
// Session from several threads are taken one at a time (a per-session
// mutex, taken only after the GIL is released, so that a thread waiting for
// it never holds the GIL).
//
// Text. Python str in and out; inside the library the screen holds
// Windows-1252, which the session's code page translates to and from the
// host. A character Windows-1252 or the code page lacks is refused; graphic
// escapes (line drawing) come out as box-drawing characters.
#include "component/uLoadDriver.h"
#include "component/uOperator.h"
#include "component/uSessionTypes.h"
#include "platform/uTlsTransport.h"
#include "sim/uDemoApp.h"
#include "sim/uHostSimulator.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

constexpr double kDefaultTimeoutSeconds = 30.0;
// The longest wait anyone may ask for: a day (as the tn3270 program).
constexpr double kMaxWaitSeconds = 86400.0;
constexpr std::int32_t kMaxPort = 65535;
constexpr const char* kLoopback = "127.0.0.1";
// The demo host's longest answer delay (a slow application, for load tests).
constexpr double kMaxAnswerDelaySeconds = 60.0;

// The exception classes, one per kind of error; Error is their base.
enum class TPyErrorKind {
    Error,
    Timeout,
    NotConnected,
    Disconnected,
    ConnectionFailed,
    UnknownField,
    ProtectedField,
    TextTooLong,
    Refused,
    UnknownKey,
    OutOfRange,
    Io,  // a file could not be written: Python's OSError
};

// Thrown without the GIL; the registered translator raises the Python
// exception of its kind (with the GIL).
struct TPyError {
    TPyErrorKind kind;
    std::string message;
};

struct TPyExceptions {
    py::handle error, timeout, notConnected, disconnected, connectionFailed, unknownField, protectedField,
        textTooLong, refused, unknownKey, outOfRange;

    py::handle Of(TPyErrorKind kind) const
    {
        switch (kind) {
        case TPyErrorKind::Error: return error;
        case TPyErrorKind::Timeout: return timeout;
        case TPyErrorKind::NotConnected: return notConnected;
        case TPyErrorKind::Disconnected: return disconnected;
        case TPyErrorKind::ConnectionFailed: return connectionFailed;
        case TPyErrorKind::UnknownField: return unknownField;
        case TPyErrorKind::ProtectedField: return protectedField;
        case TPyErrorKind::TextTooLong: return textTooLong;
        case TPyErrorKind::Refused: return refused;
        case TPyErrorKind::UnknownKey: return unknownKey;
        case TPyErrorKind::OutOfRange: return outOfRange;
        case TPyErrorKind::Io: return PyExc_OSError;
        }
        return error;
    }
};

// Created once at import and kept for the life of the interpreter.
TPyExceptions gExceptions;

TPyErrorKind KindOf(TOperatorFault fault)
{
    switch (fault) {
    case TOperatorFault::NotConnected: return TPyErrorKind::NotConnected;
    case TOperatorFault::ConnectFailed: return TPyErrorKind::ConnectionFailed;
    case TOperatorFault::UnknownField: return TPyErrorKind::UnknownField;
    case TOperatorFault::Protected: return TPyErrorKind::ProtectedField;
    // Too long for the field (set); typing into a full field is Refused.
    case TOperatorFault::FieldFull: return TPyErrorKind::TextTooLong;
    case TOperatorFault::Numeric:
    case TOperatorFault::NotCarried:
    case TOperatorFault::KeyboardLocked:
    case TOperatorFault::FieldStart:
    case TOperatorFault::NothingToType: return TPyErrorKind::Refused;
    case TOperatorFault::OutOfRange: return TPyErrorKind::OutOfRange;
    case TOperatorFault::None:
    case TOperatorFault::Busy:
    case TOperatorFault::WrongThread:
    case TOperatorFault::Io: break;
    }
    return TPyErrorKind::Error;
}

// Raises the operator's refusal as its exception; nothing when it is none.
void Check(const TOperatorError& e)
{
    if (!e.Ok())
        throw TPyError{KindOf(e.Fault), e.Message};
}

// An edit at the cursor: every refusal but "not connected" and a protected
// position is the text's (Refused), a full field included.
void CheckEdit(const TOperatorError& e)
{
    if (e.Fault == TOperatorFault::FieldFull)
        throw TPyError{TPyErrorKind::Refused, e.Message};
    Check(e);
}

void AppendCodePoint(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::chrono::milliseconds ToMilliseconds(double seconds)
{
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000.0)));
}

// A timeout given by the caller: above 0 and at most a day.
double CheckedSeconds(double seconds)
{
    if (!std::isfinite(seconds) || seconds <= 0.0 || seconds > kMaxWaitSeconds)
        throw py::value_error("timeout must be a number of seconds above 0 and at most " +
                              std::to_string(static_cast<std::int64_t>(kMaxWaitSeconds)));
    return seconds;
}

std::string FormatSeconds(double seconds)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", seconds);
    return buf;
}

// Python text (UTF-8 from pybind11) to the screen's character set.
std::string ToLocal(const std::string& utf8)
{
    std::string error;
    auto local = TScreenExport::ToLocal(utf8, error);
    if (!local)
        throw TPyError{TPyErrorKind::Refused, error};
    return *local;
}

// One host field record as Python sees it.
struct TPyField {
    std::string name;
    std::int32_t row = 0, column = 0, length = 0, position = 0;
    bool isProtected = false, numeric = false, hidden = false, intensified = false, modified = false;
    std::string text;
    std::optional<std::int32_t> index;  // in the input fields: what set() takes

    std::string Repr() const
    {
        return "Field(" + name + ", row=" + std::to_string(row) + ", column=" + std::to_string(column) +
               ", length=" + std::to_string(length) + (isProtected ? ", protected" : "") +
               (numeric ? ", numeric" : "") + (hidden ? ", hidden" : "") + (intensified ? ", intensified" : "") +
               (modified ? ", modified" : "") + ", text=" + py::repr(py::str(text)).cast<std::string>() + ")";
    }
};

class TPySession {
public:
    TPySession(std::string host, std::int32_t port, std::optional<std::string> lu, bool tn3270e, double timeout,
               std::optional<std::string> codepage, std::optional<std::string> tls, std::optional<std::string> caFile,
               std::optional<std::string> certFile, std::optional<std::string> keyFile, bool verify,
               const py::object& model, std::optional<std::pair<std::int32_t, std::int32_t>> oversize,
               bool eventLoop)
        : host_(std::move(host)), port_(port), timeout_(CheckedSeconds(timeout)),
          session_(std::make_unique<TOperator>())
    {
        if (host_.empty())
            throw py::value_error("host must not be empty");
        if (port_ < 1 || port_ > kMaxPort)
            throw py::value_error("port must be within 1-" + std::to_string(kMaxPort));
        // No keyboard-lock refusal: a program may type ahead of the host.
        session_->SetTypeAhead(true);
        TTn3270E& tn = session_->Component();
        tn.SetDeviceName(lu.value_or(std::string()));
        tn.SetExtended(tn3270e);
        // event_loop: the session on the process's event loop (no reader thread; no TLS).
        if (eventLoop)
            tn.EventLoop = true;
        // model: 2 to 5, or a name such as "3279-4-E"; oversize: (rows,
        // columns) of a larger alternate screen.
        try {
            if (py::isinstance<py::bool_>(model))
                throw std::invalid_argument("model must be 2 to 5 or a name such as \"3279-4-E\"");
            if (py::isinstance<py::int_>(model))
                tn.SetModel(model.cast<std::int32_t>());
            else if (py::isinstance<py::str>(model))
                tn.SetModelName(model.cast<std::string>());
            else if (!model.is_none())
                throw std::invalid_argument("model must be 2 to 5 or a name such as \"3279-4-E\"");
            if (oversize) {
                const TScreenSize size{oversize->first, oversize->second};
                if (!ValidOversize(tn.GetModel(), size))
                    throw std::invalid_argument("oversize must be (rows, columns) at least the model's " +
                                                std::to_string(tn.AlternateSize().Rows) + "x" +
                                                std::to_string(tn.AlternateSize().Cols) + " and at most " +
                                                std::to_string(kMaxScreenPositions) + " positions");
                tn.SetOversize(size);
            }
        } catch (const std::invalid_argument& e) {
            throw py::value_error(e.what());
        }
        if (codepage) {
            // Only built-in code pages: any other name would be read as a
            // table file.
            if (FindCodePage(*codepage) == nullptr)
                throw py::value_error(UnknownCodePageMessage(*codepage));
            tn.SetConversionTable(*codepage);
        }
        // TLS: without tls the package's configuration decides, as in tn3270.
        if (tls) {
            const auto mode = ParseTlsMode(*tls);
            if (!mode)
                throw py::value_error("tls must be \"none\", \"direct\" or \"starttls\": " + *tls);
            tn.SetTlsMode(*mode);
        }
        if (caFile)
            tn.SetTlsCaFile(*caFile);
        if (certFile)
            tn.SetTlsCertFile(*certFile);
        if (keyFile)
            tn.SetTlsKeyFile(*keyFile);
        if (!verify)
            tn.SetTlsVerify(false);
    }

    void Connect()
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        Check(session_->Connect(host_, port_));
    }

    void Disconnect()
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        Check(session_->Disconnect());
    }

    // The end of a with block: disconnects when still connected.
    void Exit()
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        if (session_->IsConnected())
            session_->Disconnect();
    }

    // Waits for an operation in another thread to end, like every call.
    bool Connected()
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        return session_->IsConnected();
    }

    std::vector<std::string> Screen()
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        return session_->Rows();
    }

    std::pair<std::int32_t, std::int32_t> Cursor()
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        const TCursor c = session_->Cursor();
        return {c.Row + 1, c.Col + 1};
    }

    // length characters from (row, col), 1-based, running on over row ends.
    std::string Text(std::int32_t row, std::int32_t col, std::int32_t length)
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        std::string out;
        Check(session_->ReadText(row - 1, col - 1, length, out));
        return out;
    }

    // rows x cols from (row, col), 1-based: one string per row.
    std::vector<std::string> Region(std::int32_t row, std::int32_t col, std::int32_t rows, std::int32_t cols)
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        std::vector<std::string> out;
        Check(session_->ReadRegion(row - 1, col - 1, rows, cols, out));
        return out;
    }

    // The records of the published field lists, read under the component's
    // lock; a record's text as the screen shows it (graphic escapes as
    // box-drawing characters, a non-display record as blanks).
    std::vector<TPyField> Fields()
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        TTn3270E& tn = session_->Component();
        auto guard = tn.Lock();
        const std::vector<TScreenCell> cells = session_->Cells();
        const std::int32_t cols = std::max(session_->ScreenCols(), 1);
        std::vector<TPyField> out;
        for (std::int32_t i = 0; i < tn.HostFields.Count(); ++i) {
            const TDSField* item = tn.HostFields.Items(i);
            if (item == nullptr)
                continue;
            const T3270Field* f = As3270Field(item);
            TPyField field;
            field.name = item->GetName();
            field.position = item->GetPos();
            field.row = (field.position - 1) / cols + 1;
            field.column = (field.position - 1) % cols + 1;
            field.length = item->Len;
            field.isProtected = f ? !f->GetEditable() : (item->Attr & T3270Field::kAttrProtected) != 0;
            field.numeric = f && f->GetNumeric();
            field.hidden = f && !f->GetVisible();
            field.intensified = f && f->GetHigh();
            field.modified = f && f->GetModified();
            for (std::size_t k = 0; k < item->Data.size(); ++k) {
                const auto c = static_cast<std::uint8_t>(item->Data[k]);
                const std::size_t p = static_cast<std::size_t>(field.position - 1) + k;
                if (field.hidden)
                    field.text.push_back(' ');
                else if (p < cells.size() && cells[p].Local == c)
                    AppendCodePoint(field.text, cells[p].Ch);
                else
                    TScreenExport::AppendUtf8(field.text, c);
            }
            const std::int32_t input = tn.UnprotectedFields.IndexOf(item);
            if (input >= 0)
                field.index = input;
            out.push_back(std::move(field));
        }
        return out;
    }

    void Set(const py::object& field, const std::string& text)
    {
        std::string name;
        if (py::isinstance<TPyField>(field))
            name = field.cast<const TPyField&>().name;
        else if (py::isinstance<py::int_>(field) && !py::isinstance<py::bool_>(field))
            name = std::to_string(field.cast<std::int64_t>());
        else if (py::isinstance<py::str>(field))
            name = field.cast<std::string>();
        else
            throw py::type_error("field must be an input index (int), a name like 'R5C20' (str) or a Field");
        const std::string local = ToLocal(text);
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        Check(session_->SetField(TFieldRef::Parse(name), local));
    }

    void Type(const std::string& text)
    {
        const std::string local = ToLocal(text);
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        CheckEdit(session_->Type(local));
    }

    // Tab, Back Tab, Home, Erase EOF: an operator's keys that stay local.
    void Edit(TOperatorError (TOperator::*edit)())
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        CheckEdit((session_.get()->*edit)());
    }

    void Save(const std::string& path, bool html)
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        const TOperatorError e = html ? session_->SaveHtml(path) : session_->SaveText(path);
        if (e.Fault == TOperatorFault::Io)
            throw TPyError{TPyErrorKind::Io, e.Message};
        Check(e);
    }

    void MoveCursor(std::int32_t row, std::int32_t col)
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        Check(session_->MoveCursor1(row, col));
    }

    void Key(const std::string& name)
    {
        const auto key = TOperator::ParseKeyName(name);
        if (!key)
            throw TPyError{TPyErrorKind::UnknownKey, "unknown key " + name};
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        Check(session_->Key(*key));
    }

    void Wait(const TWaitCondition& condition, const std::string& subject, std::optional<double> timeout)
    {
        const double seconds = timeout ? CheckedSeconds(*timeout) : timeout_;
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        CheckWait(session_->Wait(condition, ToMilliseconds(seconds)), subject, seconds);
    }

    // Begins a wait without blocking: its completion raises ready_fd and
    // take_wait_result() gives its outcome (what a gevent greenlet or an
    // event loop waits on, instead of a thread).
    void StartWait(const std::string& what, std::optional<std::string> text, std::optional<std::int32_t> row,
                   std::optional<std::int32_t> col, std::optional<double> timeout)
    {
        const double seconds = timeout ? CheckedSeconds(*timeout) : timeout_;
        TWaitCondition condition;
        std::string subject = what;
        static constexpr std::pair<const char*, TWaitKind> kEvents[] = {
            {"screen", TWaitKind::Screen}, {"unlock", TWaitKind::Unlock}, {"connect", TWaitKind::Connect},
            {"disconnect", TWaitKind::Disconnect}, {"field", TWaitKind::InputField}};
        bool known = false;
        for (const auto& [name, kind] : kEvents)
            if (what == name) {
                condition = TWaitCondition::Of(kind);
                known = true;
            }
        if (what == "field")
            subject = "input field";
        if (what == "text") {
            if (!text || text->empty())
                throw py::value_error("start_wait('text') needs a text to wait for");
            condition = TWaitCondition::ForText(ToLocal(*text));
            subject = "text " + *text;
            known = true;
        } else if (what == "cursor") {
            if (!row || !col)
                throw py::value_error("start_wait('cursor') needs row and col");
            condition = TWaitCondition::ForCursor(*row - 1, *col - 1);
            subject = "cursor " + std::to_string(*row) + " " + std::to_string(*col);
            known = true;
        }
        if (!known)
            throw py::value_error("start_wait takes screen, unlock, connect, disconnect, field, text or cursor: " + what);
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        if (!session_->StartWait(condition, ToMilliseconds(seconds))) {
            Check(session_->LastError());
            throw TPyError{TPyErrorKind::Error, "the wait for " + subject + " was refused"};
        }
        pendingSubject_ = std::move(subject);
        pendingSeconds_ = seconds;
    }

    // False while the wait begun by StartWait is pending; True once it
    // ended well; its exception when it did not.
    bool TakeWaitResult()
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        const std::optional<TWaitResult> r = session_->TakeWaitResult();
        if (!r)
            return false;
        CheckWait(*r, pendingSubject_, pendingSeconds_);
        return true;
    }

    bool CancelWait()
    {
        py::gil_scoped_release release;
        std::lock_guard op(op_);
        return session_->CancelWait();
    }

    // The descriptor lives as long as the session: no lock needed.
    int ReadyFd() const { return session_->ReadyFd(); }

    void WaitText(const std::string& text, std::optional<double> timeout)
    {
        if (text.empty())
            throw py::value_error("wait_text needs a text to wait for");
        Wait(TWaitCondition::ForText(ToLocal(text)), "text " + text, timeout);
    }

    // The cursor at (row, col), 1-based.
    void WaitCursor(std::int32_t row, std::int32_t col, std::optional<double> timeout)
    {
        Wait(TWaitCondition::ForCursor(row - 1, col - 1),
             "cursor " + std::to_string(row) + " " + std::to_string(col), timeout);
    }

    py::dict Status()
    {
        std::vector<std::string> lines;
        {
            py::gil_scoped_release release;
            std::lock_guard op(op_);
            lines = session_->StatusLines();
        }
        // "name value" lines: the names with '_' for '-', yes/no and on/off
        // as booleans, '-' as None, the counts as numbers, the functions as
        // a list.
        py::dict out;
        for (const std::string& line : lines) {
            const auto space = line.find(' ');
            std::string name = line.substr(0, space);
            const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
            for (char& c : name)
                if (c == '-')
                    c = '_';
            if (name == "connected" || name == "tn3270e")
                out[py::str(name)] = value == "yes" || value == "on";
            else if (name == "model")
                out["model"] = std::stoi(value);
            else if (name == "size") {
                // "ROWS COLS": the size of the screen now.
                const auto gap = value.find(' ');
                out["rows"] = std::stoi(value.substr(0, gap));
                out["columns"] = std::stoi(value.substr(gap + 1));
            } else if (name == "screens")
                out[py::str(name)] = std::stoull(value);
            else if (name == "functions")
                out[py::str(name)] = value == "-" ? py::list() : py::str(value).attr("split")();
            else if (value == "-")
                out[py::str(name)] = py::none();
            else
                out[py::str(name)] = value;
        }
        const std::string keyboard = out.contains("keyboard") ? out["keyboard"].cast<std::string>() : std::string();
        out["keyboard_locked"] = keyboard.rfind("locked", 0) == 0;
        return out;
    }

    double Timeout() const { return timeout_; }
    void SetTimeout(double seconds) { timeout_ = CheckedSeconds(seconds); }
    const std::string& Host() const { return host_; }
    std::int32_t Port() const { return port_; }

private:
    void CheckWait(TWaitResult r, const std::string& subject, double seconds)
    {
        switch (r) {
        case TWaitResult::Ok: return;
        case TWaitResult::Timeout:
            throw TPyError{TPyErrorKind::Timeout,
                           "timeout after " + FormatSeconds(seconds) + " s waiting for " + subject};
        case TWaitResult::Ended:
            throw TPyError{TPyErrorKind::Disconnected, "not connected (waiting for " + subject + ")"};
        case TWaitResult::Failed:
            throw TPyError{TPyErrorKind::ConnectionFailed, "connection failed (waiting for " + subject + ")"};
        case TWaitResult::Refused:
        case TWaitResult::Cancelled: break;
        }
        Check(session_->LastError());
        throw TPyError{TPyErrorKind::Error, "the wait for " + subject + " was refused"};
    }

    const std::string host_;
    const std::int32_t port_;
    double timeout_;  // with the GIL
    std::mutex op_;   // one operation at a time on this session
    std::unique_ptr<TOperator> session_;
    // The wait StartWait began, for take_wait_result's message; under op_.
    std::string pendingSubject_;
    double pendingSeconds_ = 0;
};

class TPyDemoHost {
public:
    TPyDemoHost(bool plain, double answerDelay)
    {
        if (!std::isfinite(answerDelay) || answerDelay < 0.0 || answerDelay > kMaxAnswerDelaySeconds)
            throw py::value_error("answer_delay must be 0 to " + FormatSeconds(kMaxAnswerDelaySeconds) + " seconds");
        tnsim::TSimHostOptions options;
        options.port = 0;
        options.answerDelay = std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(answerDelay * 1000.0)));
        options.telnet.mode = plain ? tnsim::TSimMode::Plain : tnsim::TSimMode::Tn3270E;
        options.appFactory = tnsim::TDemoApp::Factory();
        host_ = std::make_unique<tnsim::THostSimulator>(std::move(options));
        port_ = host_->Port();
    }

    std::uint16_t Port() const { return port_; }
    bool Closed() const { return host_ == nullptr; }
    std::size_t Sessions() const { return host_ ? host_->SessionCount() : 0; }
    std::size_t Outstanding() const { return host_ ? host_->Outstanding().Now() : 0; }
    std::size_t PeakOutstanding() const { return host_ ? host_->Outstanding().Peak() : 0; }
    void ResetPeak()
    {
        if (host_)
            host_->Outstanding().ResetPeak();
    }

    // Closes every connection and waits for the host's threads (without the
    // GIL: they never need it, but other Python threads may run meanwhile).
    void Close()
    {
        std::unique_ptr<tnsim::THostSimulator> host = std::move(host_);
        py::gil_scoped_release release;
        host.reset();
    }

private:
    std::unique_ptr<tnsim::THostSimulator> host_;
    std::uint16_t port_ = 0;
};

// A load plan built from Python: LoadPlan.setup(name) and .step(name) add
// a step and return it; each of its methods appends an action and returns
// the step again, so that a step reads as one chain.
struct TPyLoadStep {
    std::shared_ptr<TLoadPlan> plan;
    bool setup = false;
    std::size_t index = 0;

    TLoadStep& Step() const { return (setup ? plan->Setup : plan->Iteration)[index]; }
    TPyLoadStep Add(TLoadAction action) const
    {
        Step().Actions.push_back(std::move(action));
        return *this;
    }
    TPyLoadStep Wait(TWaitCondition condition, std::optional<double> timeout, std::string shown) const
    {
        TLoadAction a = TLoadAction::Of(TLoadAction::TKind::Wait, std::move(shown));
        a.Condition = std::move(condition);
        if (timeout)
            a.Timeout = ToMilliseconds(CheckedSeconds(*timeout));
        return Add(std::move(a));
    }
};

struct TPyLoadPlan {
    std::shared_ptr<TLoadPlan> plan = std::make_shared<TLoadPlan>();

    TPyLoadStep Add(bool setup, const std::string& name)
    {
        if (name.empty())
            throw py::value_error("a step needs a name");
        auto& steps = setup ? plan->Setup : plan->Iteration;
        steps.push_back({name, {}});
        return {plan, setup, steps.size() - 1};
    }
};

py::dict StepReport(const TLoadStepReport& s)
{
    const auto ms = [](std::chrono::microseconds us) { return static_cast<double>(us.count()) / 1000.0; };
    py::dict d;
    d["name"] = s.Name;
    d["setup"] = s.Setup;
    d["count"] = s.Count;
    d["errors"] = s.Errors;
    d["error_kinds"] = s.ErrorKinds;
    d["first_error"] = s.FirstError.empty() ? py::object(py::none()) : py::object(py::str(s.FirstError));
    d["p50_ms"] = ms(s.P50);
    d["p90_ms"] = ms(s.P90);
    d["p99_ms"] = ms(s.P99);
    d["max_ms"] = ms(s.Max);
    return d;
}

py::dict RunLoadFromPython(const TPyLoadPlan& plan, const std::string& host, std::int32_t port, std::int32_t sessions,
                           std::int64_t iterations, double think, double timeout, std::int32_t threads, bool tn3270e,
                           std::optional<std::int32_t> model, std::optional<std::string> codepage)
{
    if (port < 1 || port > kMaxPort)
        throw py::value_error("port must be within 1-" + std::to_string(kMaxPort));
    if (!std::isfinite(think) || think < 0.0 || think > kMaxWaitSeconds)
        throw py::value_error("think must be 0 to " + FormatSeconds(kMaxWaitSeconds) + " seconds");
    if (model && ModelAlternateSize(*model) == std::nullopt)
        throw py::value_error("model must be 2 to 5");
    if (codepage && FindCodePage(*codepage) == nullptr)
        throw py::value_error(UnknownCodePageMessage(*codepage));
    TLoadOptions options;
    options.Host = host;
    options.Port = port;
    options.Sessions = sessions;
    options.Iterations = iterations;
    options.Think = std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(think * 1000.0)));
    options.WaitTimeout = ToMilliseconds(CheckedSeconds(timeout));
    options.Threads = threads;
    options.Configure = [tn3270e, model, codepage](TTn3270E& tn) {
        tn.SetExtended(tn3270e);
        if (model)
            tn.SetModel(*model);
        if (codepage)
            tn.SetConversionTable(*codepage);
    };
    // A copy: Python may change the plan while the run goes on.
    const TLoadPlan copy = *plan.plan;
    TLoadReport report;
    {
        py::gil_scoped_release release;
        report = RunLoad(copy, options);
    }
    if (!report.Error.empty())
        throw py::value_error(report.Error);
    py::dict out;
    py::list steps;
    for (const TLoadStepReport& s : report.Steps)
        steps.append(StepReport(s));
    out["steps"] = steps;
    out["sessions"] = report.Sessions;
    out["threads"] = report.Threads;
    out["iterations"] = report.Iterations;
    out["failed_iterations"] = report.FailedIterations;
    out["elapsed"] = static_cast<double>(report.Elapsed.count()) / 1000.0;
    out["driver_cpu"] = static_cast<double>(report.DriverCpu.count()) / 1e6;
    out["table"] = report.Table();
    return out;
}

py::handle NewException(py::module_& m, const char* name, std::initializer_list<py::handle> bases,
                        const char* doc)
{
    py::tuple tuple(bases.size());
    std::size_t i = 0;
    for (const py::handle& b : bases)
        tuple[i++] = py::reinterpret_borrow<py::object>(b);
    const std::string qualified = std::string("tn3270e.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, tuple.ptr(), nullptr);
    if (type == nullptr)
        throw py::error_already_set();
    m.add_object(name, py::handle(type));
    return py::handle(type);
}

}  // namespace

PYBIND11_MODULE(_tn3270e, m)
{
    m.doc() = "TN3270E sessions (the tn3270 library) and the embedded demo host.";

    auto& e = gExceptions;
    const py::handle exception = PyExc_Exception;
    e.error = NewException(m, "Error", {exception}, "Every error of a session.");
    e.timeout = NewException(m, "Timeout", {e.error, PyExc_TimeoutError}, "A wait ran out of time.");
    e.notConnected = NewException(m, "NotConnected", {e.error}, "The session has no connection.");
    e.disconnected = NewException(m, "Disconnected", {e.notConnected, PyExc_ConnectionError},
                                  "The connection ended while waiting (or was gone when the wait began).");
    e.connectionFailed =
        NewException(m, "ConnectionFailed", {e.error, PyExc_ConnectionError}, "The host could not be reached.");
    e.unknownField = NewException(m, "UnknownField", {e.error, PyExc_LookupError}, "No field of that index or name.");
    e.protectedField = NewException(m, "ProtectedField", {e.error}, "A protected field or screen position.");
    e.textTooLong = NewException(m, "TextTooLong", {e.error, PyExc_ValueError}, "Text longer than the field.");
    e.refused = NewException(m, "Refused", {e.error, PyExc_ValueError},
                             "A character the field, the screen or the code page does not take.");
    e.unknownKey = NewException(m, "UnknownKey", {e.error, PyExc_ValueError}, "No attention key of that name.");
    e.outOfRange = NewException(m, "OutOfRange", {e.error, PyExc_ValueError}, "A position off the screen.");

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const TPyError& error) {
            PyErr_SetString(gExceptions.Of(error.kind).ptr(), error.message.c_str());
        } catch (const ECodePageError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        }
    });

    py::class_<TPyField>(m, "Field", "One host field record of the screen.")
        .def_readonly("name", &TPyField::name, "R<row>C<column> of its first character")
        .def_readonly("row", &TPyField::row)
        .def_readonly("column", &TPyField::column)
        .def_readonly("length", &TPyField::length)
        .def_readonly("position", &TPyField::position, "1-based offset on the screen")
        .def_readonly("protected", &TPyField::isProtected)
        .def_readonly("numeric", &TPyField::numeric)
        .def_readonly("hidden", &TPyField::hidden)
        .def_readonly("intensified", &TPyField::intensified)
        .def_readonly("modified", &TPyField::modified)
        .def_readonly("text", &TPyField::text)
        .def_readonly("index", &TPyField::index, "index among the input fields (what set() takes), or None")
        .def("__repr__", &TPyField::Repr);

    py::class_<TPySession>(m, "Session", "One TN3270E session. As a context manager it connects on entry and "
                                         "disconnects on exit.")
        .def(py::init<std::string, std::int32_t, std::optional<std::string>, bool, double, std::optional<std::string>,
                      std::optional<std::string>, std::optional<std::string>, std::optional<std::string>,
                      std::optional<std::string>, bool, const py::object&,
                      std::optional<std::pair<std::int32_t, std::int32_t>>, bool>(),
             py::arg("host"), py::arg("port") = 23, py::kw_only(), py::arg("lu") = py::none(),
             py::arg("tn3270e") = true, py::arg("timeout") = kDefaultTimeoutSeconds,
             py::arg("codepage") = py::none(), py::arg("tls") = py::none(), py::arg("ca_file") = py::none(),
             py::arg("cert_file") = py::none(), py::arg("key_file") = py::none(), py::arg("verify") = true,
             py::arg("model") = py::none(), py::arg("oversize") = py::none(), py::arg("event_loop") = false)
        .def("connect", &TPySession::Connect)
        .def("disconnect", &TPySession::Disconnect)
        .def("__enter__",
             [](py::object self) {
                 self.cast<TPySession&>().Connect();
                 return self;
             })
        .def("__exit__",
             [](TPySession& s, const py::object&, const py::object&, const py::object&) {
                 s.Exit();
                 return false;
             })
        .def_property_readonly("connected", &TPySession::Connected)
        .def_property_readonly("host", &TPySession::Host)
        .def_property_readonly("port", &TPySession::Port)
        .def_property("timeout", &TPySession::Timeout, &TPySession::SetTimeout,
                      "seconds a wait without its own timeout waits")
        .def("screen", &TPySession::Screen, "the rows of the screen at its current size: 24 strings of 80 characters until "
             "the host writes the alternate size of a larger model")
        .def_property_readonly("cursor", &TPySession::Cursor, "(row, column), 1-based")
        .def("fields", &TPySession::Fields, "the host field records, in screen order")
        .def("set", &TPySession::Set, py::arg("field"), py::arg("text"),
             "fills an input field: its index, its name ('R5C20') or a Field")
        .def("type", &TPySession::Type, py::arg("text"), "types at the cursor as an operator would")
        .def("move_cursor", &TPySession::MoveCursor, py::arg("row"), py::arg("col"))
        .def("tab", [](TPySession& s) { s.Edit(&TOperator::Tab); }, "the cursor to the next input field")
        .def("backtab", [](TPySession& s) { s.Edit(&TOperator::BackTab); },
             "the cursor to the start of this or the previous input field")
        .def("home", [](TPySession& s) { s.Edit(&TOperator::Home); }, "the cursor to the first input field")
        .def("erase_eof", [](TPySession& s) { s.Edit(&TOperator::EraseEof); },
             "empties the field from the cursor to its end")
        .def("text", &TPySession::Text, py::arg("row"), py::arg("col"), py::arg("length"),
             "length characters from (row, col), 1-based, running on over row ends")
        .def("region", &TPySession::Region, py::arg("row"), py::arg("col"), py::arg("rows"), py::arg("cols"),
             "rows x cols characters from (row, col), 1-based: one string per row")
        .def("save_text", [](TPySession& s, const std::string& path) { s.Save(path, false); }, py::arg("path"),
             "writes the screen's rows to the file")
        .def("save_html", [](TPySession& s, const std::string& path) { s.Save(path, true); }, py::arg("path"),
             "writes the screen as a self-contained HTML page (colours, highlighting, cursor)")
        .def("key", &TPySession::Key, py::arg("name"),
             "sends an attention key: enter, clear, pf1..pf24, pa1..pa3, sysreq, attn")
        .def(
            "wait_screen",
            [](TPySession& s, std::optional<double> t) { s.Wait(TWaitCondition::Of(TWaitKind::Screen), "screen", t); },
            py::arg("timeout") = py::none())
        .def(
            "wait_unlock",
            [](TPySession& s, std::optional<double> t) { s.Wait(TWaitCondition::Of(TWaitKind::Unlock), "unlock", t); },
            py::arg("timeout") = py::none())
        .def(
            "wait_connect",
            [](TPySession& s, std::optional<double> t) { s.Wait(TWaitCondition::Of(TWaitKind::Connect), "connect", t); },
            py::arg("timeout") = py::none())
        .def(
            "wait_disconnect",
            [](TPySession& s, std::optional<double> t) { s.Wait(TWaitCondition::Of(TWaitKind::Disconnect), "disconnect", t); },
            py::arg("timeout") = py::none())
        .def("wait_text", &TPySession::WaitText, py::arg("text"), py::arg("timeout") = py::none())
        .def(
            "wait_field",
            [](TPySession& s, std::optional<double> t) {
                s.Wait(TWaitCondition::Of(TWaitKind::InputField), "input field", t);
            },
            py::arg("timeout") = py::none(), "waits for a formatted screen with an input field, keyboard unlocked")
        .def("wait_cursor", &TPySession::WaitCursor, py::arg("row"), py::arg("col"), py::arg("timeout") = py::none(),
             "waits until the cursor is at (row, col), 1-based")
        .def("start_wait", &TPySession::StartWait, py::arg("what"), py::kw_only(), py::arg("text") = py::none(),
             py::arg("row") = py::none(), py::arg("col") = py::none(), py::arg("timeout") = py::none(),
             "begins a wait (screen, unlock, connect, disconnect, field, text, cursor) without blocking; "
             "ready_fd becomes readable when it ends")
        .def("take_wait_result", &TPySession::TakeWaitResult,
             "False while the wait begun by start_wait is pending; True once it succeeded; raises its "
             "error (Timeout, Disconnected, ...) when it failed")
        .def("cancel_wait", &TPySession::CancelWait, "ends a pending wait; False when there is none")
        .def_property_readonly("ready_fd", &TPySession::ReadyFd,
                               "a descriptor readable from the end of a start_wait until take_wait_result")
        .def("status", &TPySession::Status)
        .def("__repr__", [](const TPySession& s) {
            return "<tn3270e.Session " + s.Host() + ":" + std::to_string(s.Port()) + ">";
        });

    py::class_<TPyDemoHost>(m, "DemoHost",
                            "The embedded demo host on a free loopback port; stops on close() or at the end "
                            "of a with block.")
        .def(py::init<bool, double>(), py::kw_only(), py::arg("plain") = false, py::arg("answer_delay") = 0.0,
             "answer_delay: seconds the host holds each request before answering (a slow application)")
        .def_property_readonly("host", [](const TPyDemoHost&) { return std::string(kLoopback); })
        .def_property_readonly("port", &TPyDemoHost::Port)
        .def_property_readonly("closed", &TPyDemoHost::Closed)
        .def_property_readonly("sessions", &TPyDemoHost::Sessions, "connections accepted so far")
        .def_property_readonly("outstanding", &TPyDemoHost::Outstanding,
                               "sessions whose request the host has not answered yet")
        .def_property_readonly("peak_outstanding", &TPyDemoHost::PeakOutstanding,
                               "the most sessions with an unanswered request at once (since reset_peak)")
        .def("reset_peak", &TPyDemoHost::ResetPeak)
        .def("close", &TPyDemoHost::Close)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](TPyDemoHost& h, const py::object&, const py::object&, const py::object&) {
            h.Close();
            return false;
        });
    using TStep = TPyLoadStep;
    using TKind = TLoadAction::TKind;
    py::class_<TPyLoadStep>(m, "LoadStep", "One step of a LoadPlan; each method appends an action and returns the step.")
        .def_property_readonly("name", [](const TStep& s) { return s.Step().Name; })
        .def(
            "connect",
            [](const TStep& s, std::optional<std::string> host, std::optional<std::int32_t> port) {
                TLoadAction a = TLoadAction::Of(TKind::Connect, "connect");
                if (host) {
                    a.Host = *host;
                    a.Port = port.value_or(23);
                    a.Shown += " " + *host + ":" + std::to_string(a.Port);
                }
                return s.Add(std::move(a));
            },
            py::arg("host") = py::none(), py::arg("port") = py::none(), "connects (no host: run_load's)")
        .def("disconnect", [](const TStep& s) { return s.Add(TLoadAction::Of(TKind::Disconnect, "disconnect")); })
        .def(
            "wait_screen",
            [](const TStep& s, std::optional<double> t) {
                return s.Wait(TWaitCondition::Of(TWaitKind::Screen), t, "wait screen");
            },
            py::arg("timeout") = py::none())
        .def(
            "wait_unlock",
            [](const TStep& s, std::optional<double> t) {
                return s.Wait(TWaitCondition::Of(TWaitKind::Unlock), t, "wait unlock");
            },
            py::arg("timeout") = py::none())
        .def(
            "wait_connect",
            [](const TStep& s, std::optional<double> t) {
                return s.Wait(TWaitCondition::Of(TWaitKind::Connect), t, "wait connect");
            },
            py::arg("timeout") = py::none())
        .def(
            "wait_disconnect",
            [](const TStep& s, std::optional<double> t) {
                return s.Wait(TWaitCondition::Of(TWaitKind::Disconnect), t, "wait disconnect");
            },
            py::arg("timeout") = py::none())
        .def(
            "wait_field",
            [](const TStep& s, std::optional<double> t) {
                return s.Wait(TWaitCondition::Of(TWaitKind::InputField), t, "wait field");
            },
            py::arg("timeout") = py::none())
        .def(
            "wait_text",
            [](const TStep& s, const std::string& text, std::optional<double> t) {
                if (text.empty())
                    throw py::value_error("wait_text needs a text to wait for");
                return s.Wait(TWaitCondition::ForText(ToLocal(text)), t, "wait text \"" + text + "\"");
            },
            py::arg("text"), py::arg("timeout") = py::none())
        .def(
            "wait_cursor",
            [](const TStep& s, std::int32_t row, std::int32_t col, std::optional<double> t) {
                return s.Wait(TWaitCondition::ForCursor(row - 1, col - 1), t,
                              "wait cursor " + std::to_string(row) + " " + std::to_string(col));
            },
            py::arg("row"), py::arg("col"), py::arg("timeout") = py::none())
        .def(
            "set",
            [](const TStep& s, const py::object& field, const std::string& text) {
                std::string name;
                if (py::isinstance<py::int_>(field) && !py::isinstance<py::bool_>(field))
                    name = std::to_string(field.cast<std::int64_t>());
                else if (py::isinstance<py::str>(field))
                    name = field.cast<std::string>();
                else
                    throw py::type_error("field must be an input index (int) or a name like 'R5C20' (str)");
                TLoadAction a = TLoadAction::Of(TKind::Set, "set " + name + " \"" + text + "\"");
                a.Field = TFieldRef::Parse(name);
                a.Text = ToLocal(text);
                return s.Add(std::move(a));
            },
            py::arg("field"), py::arg("text"))
        .def(
            "type",
            [](const TStep& s, const std::string& text) {
                TLoadAction a = TLoadAction::Of(TKind::Type, "type \"" + text + "\"");
                a.Text = ToLocal(text);
                return s.Add(std::move(a));
            },
            py::arg("text"))
        .def(
            "move_cursor",
            [](const TStep& s, std::int32_t row, std::int32_t col) {
                TLoadAction a = TLoadAction::Of(TKind::Cursor, "cursor " + std::to_string(row) + " " + std::to_string(col));
                a.Row = row - 1;
                a.Col = col - 1;
                return s.Add(std::move(a));
            },
            py::arg("row"), py::arg("col"))
        .def("tab", [](const TStep& s) { return s.Add(TLoadAction::Of(TKind::Tab, "tab")); })
        .def("backtab", [](const TStep& s) { return s.Add(TLoadAction::Of(TKind::BackTab, "backtab")); })
        .def("home", [](const TStep& s) { return s.Add(TLoadAction::Of(TKind::Home, "home")); })
        .def("erase_eof", [](const TStep& s) { return s.Add(TLoadAction::Of(TKind::EraseEof, "erase-eof")); })
        .def(
            "key",
            [](const TStep& s, const std::string& name) {
                const auto key = TOperator::ParseKeyName(name);
                if (!key)
                    throw TPyError{TPyErrorKind::UnknownKey, "unknown key " + name};
                TLoadAction a = TLoadAction::Of(TKind::Key, "key " + name);
                a.Key = *key;
                return s.Add(std::move(a));
            },
            py::arg("name"));

    py::class_<TPyLoadPlan>(m, "LoadPlan",
                            "The steps of a load run: setup steps run once per session, the others every iteration.")
        .def(py::init<>())
        .def("setup", [](TPyLoadPlan& p, const std::string& name) { return p.Add(true, name); }, py::arg("name"),
             "adds a step to the setup part (connect, sign on, navigate): run once per session")
        .def("step", [](TPyLoadPlan& p, const std::string& name) { return p.Add(false, name); }, py::arg("name"),
             "adds a step to the iteration part");

    m.def("run_load", &RunLoadFromPython, py::arg("plan"), py::arg("host"), py::arg("port") = 23, py::kw_only(),
          py::arg("sessions") = 1, py::arg("iterations") = 1, py::arg("think") = 0.0,
          py::arg("timeout") = kDefaultTimeoutSeconds, py::arg("threads") = 1, py::arg("tn3270e") = true,
          py::arg("model") = py::none(), py::arg("codepage") = py::none(),
          "runs the plan on `sessions` sessions, `iterations` times each, pausing `think` seconds after each "
          "step, driven by `threads` threads; returns a dict: steps (one dict each: name, setup, count, "
          "errors, error_kinds, first_error, p50_ms, p90_ms, p99_ms, max_ms), iterations, "
          "failed_iterations, elapsed, driver_cpu (seconds), table (the text report)");
}
