// The full-screen terminal on ncurses.
#include "tools/uCursesTerminal.h"

#include "tools/uTerminalUi.h"

#include <atomic>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <curses.h>

namespace {

constexpr int kEscDelayMs = 40;  // long enough for a key's sequence, short for a person
constexpr int kEsc = 27, kDel = 127, kCtrlH = 8;

// A pipe whose write end wakes the loop. Shared with the change callback,
// which may still be running on the reader's thread when the loop has
// ended: the pipe is closed with the last of them.
class TWaker {
public:
    TWaker()
    {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            read_ = fds[0];
            write_ = fds[1];
        }
    }
    ~TWaker()
    {
        if (read_ >= 0)
            close(read_);
        if (write_ >= 0)
            close(write_);
    }
    TWaker(const TWaker&) = delete;
    TWaker& operator=(const TWaker&) = delete;
    bool Ok() const { return read_ >= 0; }
    int ReadFd() const { return read_; }
    int WriteFd() const { return write_; }
    // Async-signal-safe; a full pipe already holds a wake-up.
    void Wake() const
    {
        const char b = 1;
        [[maybe_unused]] const ssize_t n = write(write_, &b, 1);
    }
    void Drain() const
    {
        char buf[64];
        while (read(read_, buf, sizeof buf) > 0) {
        }
    }

private:
    int read_ = -1, write_ = -1;
};

// SIGWINCH may reach any thread: the handler only notes it and wakes the loop.
std::atomic<int> gWakeFd{-1};
std::atomic<bool> gResized{false};

extern "C" void OnWinch(int)
{
    const int saved = errno;
    gResized.store(true);
    const int fd = gWakeFd.load();
    if (fd >= 0) {
        const char b = 1;
        [[maybe_unused]] const ssize_t n = write(fd, &b, 1);
    }
    errno = saved;
}

TKeyEvent Translate(int rc, wint_t wc)
{
    TKeyEvent k;
    if (rc == KEY_CODE_YES) {
        switch (wc) {
        case KEY_ENTER: k.key = TUiKey::Enter; break;
        case KEY_BTAB: k.key = TUiKey::BackTab; break;
        case KEY_UP: k.key = TUiKey::Up; break;
        case KEY_DOWN: k.key = TUiKey::Down; break;
        case KEY_LEFT: k.key = TUiKey::Left; break;
        case KEY_RIGHT: k.key = TUiKey::Right; break;
        case KEY_HOME: k.key = TUiKey::Home; break;
        case KEY_BACKSPACE: k.key = TUiKey::Backspace; break;
        case KEY_DC: k.key = TUiKey::Delete; break;
        case KEY_IC: k.key = TUiKey::Insert; break;
        default:
            if (wc >= static_cast<wint_t>(KEY_F(1)) && wc <= static_cast<wint_t>(KEY_F(24))) {
                k.key = TUiKey::Function;
                k.code = static_cast<char32_t>(wc - KEY_F0);
            }
            break;
        }
        return k;
    }
    switch (wc) {
    case L'\r': case L'\n': k.key = TUiKey::Enter; return k;
    case L'\t': k.key = TUiKey::Tab; return k;
    case kEsc: k.key = TUiKey::Escape; return k;
    case kDel: case kCtrlH: k.key = TUiKey::Backspace; return k;
    default: break;
    }
    if (wc >= 1 && wc <= 26) {
        k.key = TUiKey::Ctrl;
        k.code = static_cast<char32_t>(U'a' + wc - 1);
    } else if (wc >= 0x20) {
        k.key = TUiKey::Char;
        k.code = static_cast<char32_t>(wc);
    }
    return k;
}

short Pair(TUiColor c)
{
    return static_cast<short>(c);  // pairs 1..7 are the 3270 colours
}

void InitColours()
{
    if (!has_colors())
        return;
    start_color();
    use_default_colors();
    const short fg[] = {COLOR_BLUE, COLOR_RED, COLOR_MAGENTA, COLOR_GREEN, COLOR_CYAN, COLOR_YELLOW, COLOR_WHITE};
    for (short i = 0; i < 7; ++i)
        init_pair(static_cast<short>(i + 1), fg[i], -1);
}

void DrawCell(int row, int col, const TUiCell& cell)
{
    attr_t a = A_NORMAL;
    if (cell.bold || cell.color == TUiColor::Blue)
        a |= A_BOLD;  // 3270 blue is a light blue; dark blue is unreadable on black
    if (cell.reverse)
        a |= A_REVERSE;
    if (cell.underline)
        a |= A_UNDERLINE;
    if (cell.blink)
        a |= A_BLINK;
    const short pair = has_colors() && cell.color != TUiColor::Default ? Pair(cell.color) : 0;
    wchar_t text[2] = {static_cast<wchar_t>(cell.ch), L'\0'};
    cchar_t cc;
    setcchar(&cc, text, a, pair, nullptr);
    mvadd_wch(row, col, &cc);
}

// The terminal must show the screen and the status line under it.
bool TooSmall(const TUiFrame& f)
{
    return LINES < f.rows + kUiStatusRows || COLS < f.cols;
}

void DrawTooSmall(const TUiFrame& f)
{
    erase();
    const std::string lines[] = {
        "tn3270 needs a terminal of at least " + std::to_string(f.cols) + " columns and " +
            std::to_string(f.rows + kUiStatusRows) + " rows;",
        "this one has " + std::to_string(COLS) + " columns and " + std::to_string(LINES) + " rows.",
        "Enlarge it, or press Ctrl-Q to quit.",
    };
    int row = 0;
    for (const std::string& l : lines)
        mvaddnstr(row++, 0, l.c_str(), COLS);
    refresh();
}

void Draw(const TUiFrame& f)
{
    if (TooSmall(f)) {
        DrawTooSmall(f);
        return;
    }
    erase();
    for (int r = 0; r < f.rows; ++r)
        for (int c = 0; c < f.cols; ++c)
            if (const auto at = static_cast<std::size_t>(r * f.cols + c); at < f.cells.size())
                DrawCell(r, c, f.cells[at]);
    attron(A_REVERSE);
    mvaddnstr(f.rows, 0, StatusLine(f.status, COLS).c_str(), COLS);
    attroff(A_REVERSE);
    if (f.help) {
        const std::vector<std::string>& lines = KeyMapLines();
        const int top = 3;
        const int width = f.cols - 2;
        const std::string title = " Keys (any key closes this) ";
        std::string border = "+" + title + std::string(static_cast<std::size_t>(width - 2) - title.size(), '-') + "+";
        mvaddnstr(top, 1, border.c_str(), width);
        int row = top + 1;
        for (const std::string& l : lines) {
            std::string line = "| " + l;
            line.resize(static_cast<std::size_t>(width - 1), ' ');
            line += "|";
            mvaddnstr(row++, 1, line.c_str(), width);
        }
        border = "+" + std::string(static_cast<std::size_t>(width - 2), '-') + "+";
        mvaddnstr(row, 1, border.c_str(), width);
    }
    move(f.status.cursorRow - 1, f.status.cursorCol - 1);
    refresh();
}

// The program speaks UTF-8 whatever the locale (as its other modes do);
// ncursesw needs a UTF-8 LC_CTYPE for the box-drawing characters.
void UseUtf8Locale()
{
    std::setlocale(LC_ALL, "");
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr || std::strcmp(codeset, "UTF-8") != 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");
}

}  // namespace

int RunCursesTerminal(TOperator& session, const std::string& host, std::int32_t port, std::ostream& err)
{
    auto waker = std::make_shared<TWaker>();
    if (!waker->Ok()) {
        err << "tn3270: cannot create the event pipe: " << std::strerror(errno) << '\n';
        return 1;
    }
    // Every event of the session wakes the loop, which repaints what changed.
    session.SetOnChange([waker] { waker->Wake(); });

    if (const TOperatorError e = session.Connect(host, port); !e.Ok()) {
        session.SetOnChange({});
        err << "tn3270: " << e.Message << '\n';
        return 1;
    }

    UseUtf8Locale();
    // newterm, not initscr: an unknown TERM is an error to report, not an exit.
    SCREEN* terminal = newterm(nullptr, stdout, stdin);
    if (terminal == nullptr) {
        const char* term = std::getenv("TERM");
        err << "tn3270: cannot use the terminal (TERM=" << (term ? term : "") << "); "
            << "pipe the output to see the screens as text\n";
        session.Disconnect();
        session.SetOnChange({});
        return 1;
    }
    set_term(terminal);
    raw();  // Ctrl-C, Ctrl-S, Ctrl-Q ... reach us as keys
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(kEscDelayMs);
    InitColours();

    // The handler writes into the same pipe as the session's events.
    gWakeFd.store(waker->WriteFd());
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = OnWinch;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &sa, &old);

    TTerminalUiModel model(session);
    TUiFrame shown;
    bool drawn = false;
    bool quit = false;
    while (!quit) {
        if (gResized.exchange(false)) {
            winsize ws{};
            if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
                resizeterm(ws.ws_row, ws.ws_col);
            drawn = false;
        }
        const TUiFrame frame = model.Frame();
        if (!drawn || !(frame == shown)) {
            Draw(frame);
            shown = frame;
            drawn = true;
        }
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {waker->ReadFd(), POLLIN, 0}};
        const int n = poll(fds, 2, -1);
        if (n < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN)
            waker->Drain();
        wint_t wc = 0;
        int rc;
        while (!quit && (rc = get_wch(&wc)) != ERR) {
            if (rc == KEY_CODE_YES && wc == KEY_RESIZE) {
                drawn = false;
                continue;
            }
            const bool small = TooSmall(shown);
            const TKeyEvent key = Translate(rc, wc);
            if (small) {
                // Nothing is typed blind into a screen the user cannot see.
                if (MapKey(key, false).kind == TUiActionKind::Quit)
                    quit = true;
                else
                    beep();
                continue;
            }
            const TUiOutcome o = model.HandleKey(key);
            quit = o.quit;
            if (o.beep)
                beep();
            if (o.repaint) {
                clearok(stdscr, TRUE);
                drawn = false;
            }
        }
        // The terminal is gone once its last keys are read.
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            break;
    }
    sigaction(SIGWINCH, &old, nullptr);
    gWakeFd.store(-1);
    endwin();
    delscreen(terminal);
    if (session.IsConnected())
        session.Disconnect();
    session.SetOnChange({});
    return 0;
}
