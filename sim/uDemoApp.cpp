// The demo host application: sign-on, main menu, account inquiry, messages.
#include "sim/uDemoApp.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "sim/uSim3270Encoder.h"

namespace tnsim {

namespace {

struct TDemoUser {
    const char* id;
    const char* password;
};
constexpr std::array<TDemoUser, 2> kUsers = {{{"DEMO", "SECRET"}, {"GUEST", "GUEST"}}};

struct TDemoAccount {
    const char* number;
    const char* name;
    const char* city;
    long long cents;
    const char* status;
    Colour statusColour;
    std::array<const char*, 3> history;
};
constexpr std::array<TDemoAccount, 5> kAccounts = {{
    {"10001", "ANNA BERGER", "ZURICH", 1254075, "ACTIVE", Colour::Green,
     {"2024-05-02  DEPOSIT              2,500.00", "2024-05-06  CARD PAYMENT            -84.30",
      "2024-05-13  STANDING ORDER        -950.00"}},
    {"10002", "CARLOS MENDES", "LISBON", 38020, "ACTIVE", Colour::Green,
     {"2024-04-28  SALARY               3,120.00", "2024-05-01  RENT                -1,450.00",
      "2024-05-09  TRANSFER              -600.00"}},
    {"10003", "MEI LIN CHEN", "SINGAPORE", -12550, "OVERDRAWN", Colour::Red,
     {"2024-05-03  CARD PAYMENT           -45.00", "2024-05-07  DIRECT DEBIT          -210.50",
      "2024-05-11  FEE                    -12.00"}},
    {"20001", "NORTHWIND TRADING LTD", "HAMBURG", 98765400, "ON HOLD", Colour::Yellow,
     {"2024-05-10  INVOICE 4471        12,300.00", "2024-05-12  TRANSFER           -5,000.00",
      "2024-05-14  INTEREST                18.42"}},
    {"20002", "BLUE RIVER FARMS", "DUBBO", 0, "CLOSED", Colour::Red,
     {"2024-01-31  CLOSING TRANSFER  -1,204.11", "", ""}},
}};

// Panel layout (rows and columns 1-based; a field's data starts one column
// after its attribute).
constexpr int kUserRow = 10, kPasswordRow = 12, kSignOnCol = 28, kSignOnLen = 8;
constexpr int kCommandRow = 20, kCommandCol = 15, kCommandLen = 20;
// The scroll amount field of a wide screen: its data ends this many columns
// before the screen's edge, its label one column before the data.
constexpr int kScrollFromEdge = 12, kScrollLen = 4;
constexpr std::string_view kScrollLabel = "SCROLL ===>";
constexpr int kAccountRow = 5, kAccountCol = 26, kAccountLen = 5;
constexpr int kMessageRow = 22;
constexpr int kKeysRow = 24;

const char* const kSuspendPrompt = "SYSTEM REQUEST - TYPE LOGOFF TO END THE SESSION, OR PRESS ENTER TO RESUME. ";

std::string Trim(std::string s) {
    const auto notSpace = [](unsigned char c) { return c != ' ' && c != 0; };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The trimmed, upper-cased text of the field whose data starts at row/col;
// empty when the terminal did not send it (not modified).
std::string Input(const TSimInbound& in, int row, int col) {
    const TSimField* f = in.FieldAt(row, col);
    return f ? Upper(Trim(f->text)) : std::string();
}

std::string Money(long long cents) {
    const bool negative = cents < 0;
    unsigned long long v = static_cast<unsigned long long>(negative ? -cents : cents);
    // Digits of the whole part, grouped by three from the right.
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%llu", v / 100);
    char out[64];
    std::size_t o = 0;
    if (negative) out[o++] = '-';
    for (int i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out[o++] = ',';
        out[o++] = digits[i];
    }
    std::snprintf(out + o, sizeof out - o, ".%02llu EUR", v % 100);
    return out;
}

const TDemoAccount* FindAccount(const std::string& number) {
    for (const auto& a : kAccounts)
        if (number == a.number) return &a;
    return nullptr;
}

// Protected text whose first character is at row/col (its attribute sits
// in the column before).
void Label(TSim3270Encoder& e, int row, int col, std::string_view text, Colour colour = Colour::Turquoise,
           Highlight h = Highlight::Default, std::uint8_t extra = 0) {
    e.FieldX(row, col - 1, fa::Protected | extra, colour, h, text);
}

// An input field of `len` characters at row/col, closed by a protected
// attribute after it so that typing stops at its end.
// closeExtended: the closing attribute is an SFE with no colour of its
// own, which a terminal cannot mistake for one that carries on the input
// field's colour and highlighting (as some do with a plain SF).
void InputField(TSim3270Encoder& e, int row, int col, int len, std::uint8_t attr, std::string_view value = {},
                bool closeExtended = false) {
    value = value.substr(0, static_cast<std::size_t>(len));
    e.FieldX(row, col - 1, attr, Colour::Green, Highlight::Underscore, value);
    // A prefilled value shorter than the field: the rest gets nulls in the
    // same colour, so the whole field carries one character attribute and a
    // terminal shows it as one field.
    if (!value.empty() && static_cast<int>(value.size()) < len)
        e.RA(row, col + len, '\0');
    e.SBA(row, col + len);
    if (closeExtended)
        e.SFE(fa::Skip);
    else
        e.SF(fa::Skip);
}

}  // namespace

TDemoApp::TDemoApp(TDemoOptions options) : mOptions(std::move(options)) {}

TSimAppFactory TDemoApp::Factory(TDemoOptions options) {
    return [options] { return std::make_unique<TDemoApp>(options); };
}

std::tm TDemoApp::Now() const {
    if (mOptions.clock) return mOptions.clock();
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

void TDemoApp::Header(TSim3270Encoder& e, const std::string& title, const std::string& panelId) const {
    const std::tm now = Now();
    char date[32], time[32];
    std::strftime(date, sizeof date, "DATE: %Y-%m-%d", &now);
    std::strftime(time, sizeof time, "TIME: %H:%M:%S", &now);
    Label(e, 1, 2, panelId, Colour::Blue);
    Label(e, 1, 30, "SAMPLE HOST SYSTEM", Colour::White, Highlight::Default, fa::Intensified);
    Label(e, 1, 63, date, Colour::Turquoise);
    Label(e, 2, 2, title, Colour::White, Highlight::Default, fa::Intensified);
    if (!mLu.empty()) Label(e, 2, 30, "TERMINAL " + mLu, Colour::Blue);
    Label(e, 2, 63, time, Colour::Turquoise);
    e.FieldX(3, 1, fa::Protected, Colour::Blue).RA(4, 1, '-');
}

Bytes TDemoApp::BindImage() const {
    // The terminal's larger screen as the alternate size, so that
    // Erase/Write Alternate may use it.
    return tnsim::BindImage(kRows, kCols, mRows, mCols);
}

TSim3270Encoder TDemoApp::Panel3270(const std::string& message) const {
    const std::uint8_t wccBits = wcc::Restore | wcc::ResetMdt | (message.empty() ? 0 : wcc::Alarm);
    const bool alternate = mRows != kRows || mCols != kCols;
    TSim3270Encoder e(mRows * mCols > 4096 ? TSim3270Encoder::AddressMode::Bits14 : TSim3270Encoder::AddressMode::Bits12,
                      mRows, mCols);
    if (alternate)
        e.EraseWriteAlternate(wccBits);
    else
        e.EraseWrite(wccBits);
    return e;
}

void TDemoApp::Footer(TSim3270Encoder& e, const std::string& message, const std::string& keys) const {
    // The message line is always there, so that the field list keeps its
    // shape; both lines keep their distance from the screen's foot.
    e.FieldX(kMessageRow + mRows - kRows, 1, fa::Protected | fa::Intensified, Colour::Red, Highlight::Default, message);
    Label(e, kKeysRow + mRows - kRows, 2, keys, Colour::Blue);
}

int TDemoApp::ScrollCol() const {
    return mCols > kCols ? mCols - kScrollFromEdge : 0;
}

void TDemoApp::CommandLine(TSim3270Encoder& e, const std::string& label, bool closeExtended) const {
    Label(e, kCommandRow, 2, label, Colour::Green);
    InputField(e, kCommandRow, kCommandCol, kCommandLen, fa::Unprotected, {}, closeExtended);
    if (const int col = ScrollCol(); col > 0) {
        Label(e, kCommandRow, col - 1 - static_cast<int>(kScrollLabel.size()), kScrollLabel, Colour::Green);
        InputField(e, kCommandRow, col, kScrollLen, fa::Unprotected, mScroll);
    }
}

Bytes TDemoApp::SignOnPanel(const std::string& message, const std::string& user) const {
    TSim3270Encoder e = Panel3270(message);
    Header(e, "SIGN ON", "SGN001");
    Label(e, 6, 10, "Welcome to the sample host system.", Colour::Green);
    Label(e, 7, 10, "Type your user id and password, then press Enter.", Colour::Green);
    Label(e, kUserRow, 10, "USER ID  . . . .");
    InputField(e, kUserRow, kSignOnCol, kSignOnLen, fa::Unprotected | fa::Intensified | (user.empty() ? 0 : fa::Mdt),
               user);
    Label(e, kPasswordRow, 10, "PASSWORD . . . .");
    InputField(e, kPasswordRow, kSignOnCol, kSignOnLen, fa::Unprotected | fa::NonDisplay);
    Label(e, 15, 10, "Demo users: DEMO / SECRET,  GUEST / GUEST", Colour::Yellow);
    Footer(e, message, "ENTER=Sign on   PF3=Exit   PF12=Exit");
    // The cursor goes to the first field still to fill.
    e.SBA(user.empty() ? kUserRow : kPasswordRow, kSignOnCol).IC();
    return e.Take();
}

Bytes TDemoApp::MenuPanel(const std::string& message) const {
    TSim3270Encoder e = Panel3270(message);
    Header(e, "MAIN MENU", "MNU001");
    Label(e, 5, 10, "User . . . : " + mUser, Colour::Green);
    Label(e, 8, 10, "1", Colour::White, Highlight::Default, fa::Intensified);
    Label(e, 8, 14, "Account inquiry");
    Label(e, 9, 10, "2", Colour::White, Highlight::Default, fa::Intensified);
    Label(e, 9, 14, "Messages");
    Label(e, 10, 10, "X", Colour::White, Highlight::Default, fa::Intensified);
    Label(e, 10, 14, "Log off");
    CommandLine(e, "OPTION ===>");
    Footer(e, message, "ENTER=Select   PF3=Sign off   PF12=Log off");
    e.SBA(kCommandRow, kCommandCol).IC();
    return e.Take();
}

Bytes TDemoApp::InquiryPanel(const std::string& message, const std::string& account) const {
    TSim3270Encoder e = Panel3270(message);
    Header(e, "ACCOUNT INQUIRY", "INQ001");
    Label(e, kAccountRow, 4, "Account number . . . .");
    // Shown again with its MDT on, so that Enter sends it back unchanged.
    InputField(e, kAccountRow, kAccountCol, kAccountLen,
               fa::Unprotected | fa::Numeric | fa::Intensified | (account.empty() ? 0 : fa::Mdt), account);
    if (const TDemoAccount* a = message.empty() ? FindAccount(account) : nullptr) {
        Label(e, 8, 4, "Name . . . . :");
        Label(e, 8, 20, a->name, Colour::White);
        Label(e, 9, 4, "City . . . . :");
        Label(e, 9, 20, a->city, Colour::White);
        Label(e, 10, 4, "Balance  . . :");
        Label(e, 10, 20, Money(a->cents), a->cents < 0 ? Colour::Red : Colour::Green, Highlight::Default,
              fa::Intensified);
        Label(e, 11, 4, "Status . . . :");
        Label(e, 11, 20, a->status, a->statusColour, a->statusColour == Colour::Green ? Highlight::Default
                                                                                      : Highlight::Reverse);
        Label(e, 13, 4, "Recent transactions", Colour::Turquoise, Highlight::Underscore);
        int row = 14;
        for (const char* line : a->history)
            if (*line) Label(e, row++, 4, line, Colour::White);
    }
    CommandLine(e, "COMMAND ===>");
    Footer(e, message, "ENTER=Inquire   PF3=Back   PF12=Log off");
    e.SBA(kAccountRow, kAccountCol).IC();
    return e.Take();
}

Bytes TDemoApp::MessagesPanel(const std::string& message) const {
    TSim3270Encoder e = Panel3270(message);
    Header(e, "MESSAGES", "MSG001");
    // Character attributes inside a field (Set Attribute: one colour or
    // highlighting changed at a time, or both, each line back to the
    // field's own by type and closed by a Start Field, which ends what
    // Set Attribute set) and a ruled line of the second character set
    // (Graphic Escape), as hosts write them.
    Label(e, 5, 4, "09:00  SYSTEM    Overnight batch run completed ", Colour::Green);
    e.SAColour(Colour::White).Text("normally").SAHighlight(Highlight::Underscore).Text(".");
    e.SAColour(Colour::Default).SAHighlight(Highlight::Default).SF(fa::Protected);
    Label(e, 6, 4, "08:15  OPERATOR  Maintenance window on ", Colour::Yellow);
    e.SAHighlight(Highlight::Blink).Text("Sunday").SAHighlight(Highlight::Default).Text(" 02:00 - 04:00.");
    e.SAColour(Colour::Default).SF(fa::Protected);
    Label(e, 7, 4, "07:58  SECURITY  Your password expires in ", Colour::Pink);
    e.SAColour(Colour::Red).SAHighlight(Highlight::Reverse).Text("12 days");
    e.SAColour(Colour::Default).SAHighlight(Highlight::Default).Text(".");
    e.SBA(8, 3).SF(fa::Protected).GE(0xC4);
    for (int col = 5; col < 66; ++col)
        e.GE(0xA2);
    e.GE(0xD4);
    CommandLine(e, "COMMAND ===>", true);
    Footer(e, message, "PF3=Back   PF12=Log off");
    e.SBA(kCommandRow, kCommandCol).IC();
    return e.Take();
}

void TDemoApp::Show(TSimSession& s, Panel panel, const std::string& message) {
    mPanel = panel;
    Bytes screen;
    switch (panel) {
    case Panel::SignOn: screen = SignOnPanel(message, mUser); break;
    case Panel::Menu: screen = MenuPanel(message); break;
    case Panel::Inquiry: screen = InquiryPanel(message, mAccount); break;
    case Panel::Messages: screen = MessagesPanel(message); break;
    default: return;
    }
    const bool responses = mOptions.alwaysResponse && s.Negotiated().HasFunction(fn::Responses);
    s.Send3270(screen, responses);
}

std::string TDemoApp::WelcomeText() {
    auto line = [](std::string text) {
        text.resize(static_cast<std::size_t>(kCols), ' ');
        return text;
    };
    return std::string(kCols, '@') + line("  DEMO HOST - SIMULATED NETWORK") + std::string(kCols, '@') +
           "ENTER APPLICATION NAME: ";
}

void TDemoApp::ShowWelcome(TSimSession& s) {
    mPanel = Panel::Welcome;
    s.SendSscpLu(ToEbcdic(WelcomeText()));
}

void TDemoApp::OnWelcome(TSimSession& s, const TSimRecord& record) {
    std::string text = Upper(Trim(FromEbcdic(record.data)));
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    if (text == "DEMO" || text == "LOGONAPPLID(DEMO)") {
        ShowLogon(s);
        return;
    }
    // Written at the terminal's cursor, after what was typed.
    s.SendSscpLu(ToEbcdic(" INVALID COMMAND - ENTER APPLICATION NAME: "));
}

void TDemoApp::ShowLogon(TSimSession& s) {
    if (mBindAgreed) {
        s.SendBind(BindImage());
        mBound = true;
    }
    Show(s, Panel::SignOn);
}

void TDemoApp::EndSession(TSimSession& s) {
    mPanel = Panel::Ended;
    if (mBound) {
        s.SendUnbind();
        mBound = false;
    }
    s.Close();
}

void TDemoApp::OnStart(TSimSession& s) {
    const TSimNegotiated n = s.Negotiated();
    mLu = n.luName;
    // "IBM-3278-N..." / "IBM-3279-N...": the model's alternate size.
    if (n.terminalType.size() >= 10 && n.terminalType.compare(0, 7, "IBM-327") == 0 && n.terminalType[9] >= '3' &&
        n.terminalType[9] <= '5') {
        static constexpr int kModelRows[] = {32, 43, 27}, kModelCols[] = {80, 80, 132};
        mRows = kModelRows[n.terminalType[9] - '3'];
        mCols = kModelCols[n.terminalType[9] - '3'];
    }
    mBindAgreed = n.tn3270e && n.HasFunction(fn::BindImage);
    if (mOptions.queryOnStart) {
        mPanel = Panel::Starting;
        s.SendQuery();
        return;
    }
    if (mOptions.ussLogon && mBindAgreed) {
        ShowWelcome(s);
        return;
    }
    ShowLogon(s);
}

void TDemoApp::OnTelnetCommand(TSimSession& s, std::uint8_t command) {
    if (mPanel == Panel::Ended || mPanel == Panel::Starting || mPanel == Panel::Welcome) return;
    if (command == tel::AO) {
        // SysReq: the terminal has left the LU-LU session; the SSCP speaks.
        if (mBindAgreed && mPanel != Panel::Suspended) {
            mResume = mPanel;
            mPanel = Panel::Suspended;
            const std::string prompt = kSuspendPrompt;
            s.SendSscpLu(ToEbcdic(prompt));
        } else if (mPanel != Panel::Suspended) {
            Show(s, mPanel, "SYSTEM REQUEST IS NOT AVAILABLE");
        }
    } else if (command == tel::IP) {
        if (mPanel != Panel::Suspended) Show(s, mPanel, "ATTENTION IGNORED");
    }
}

void TDemoApp::OnRecord(TSimSession& s, const TSimRecord& record) {
    if (mPanel == Panel::Ended) return;
    const std::uint8_t type = record.tn3270e ? record.header.dataType : dt::Data3270;
    if (mPanel == Panel::Welcome) {
        if (type == dt::SscpLuData) OnWelcome(s, record);
        return;
    }
    if (type == dt::SscpLuData || (mPanel == Panel::Suspended && type == dt::Data3270)) {
        if (mPanel != Panel::Suspended) return;
        // The reply holds the whole screen's text: the prompt, then what was typed.
        std::string text = FromEbcdic(record.data);
        const auto at = text.find(Trim(kSuspendPrompt));
        if (at != std::string::npos) text.erase(0, at + Trim(kSuspendPrompt).size());
        if (Upper(Trim(text)).find("LOGOFF") != std::string::npos) {
            EndSession(s);
            return;
        }
        s.SendBind(BindImage());
        mBound = true;
        Show(s, mResume, "SESSION RESUMED");
        return;
    }
    if (type != dt::Data3270) return;  // responses, NVT data: nothing to do
    const TSimInbound in = TSimSession::Decode(record, mRows, mCols);
    if (in.kind == TSimInbound::Kind::QueryReply || mPanel == Panel::Starting) {
        if (mPanel == Panel::Starting && mOptions.ussLogon && mBindAgreed)
            ShowWelcome(s);
        else if (mPanel == Panel::Starting)
            ShowLogon(s);
        return;
    }
    if (CommonKeys(s, in)) return;
    if (const int col = ScrollCol();
        col > 0 && (mPanel == Panel::Menu || mPanel == Panel::Inquiry || mPanel == Panel::Messages)) {
        const std::string scroll = Input(in, kCommandRow, col);
        if (!scroll.empty()) mScroll = scroll;
    }
    switch (mPanel) {
    case Panel::SignOn: OnSignOn(s, in); break;
    case Panel::Menu: OnMenu(s, in); break;
    case Panel::Inquiry: OnInquiry(s, in); break;
    case Panel::Messages: OnMessages(s, in); break;
    default: break;
    }
}

bool TDemoApp::CommonKeys(TSimSession& s, const TSimInbound& in) {
    if (in.aid == aid::PF[11]) {  // PF12
        EndSession(s);
        return true;
    }
    if (in.aid == aid::Clear) {
        Show(s, mPanel);
        return true;
    }
    if (in.aid == aid::PA1 || in.aid == aid::PA2 || in.aid == aid::PA3) {
        Show(s, mPanel, AidName(in.aid) + " IS NOT SUPPORTED HERE");
        return true;
    }
    if (in.aid != aid::Enter && in.aid != aid::PF[2]) {
        Show(s, mPanel, AidName(in.aid) + " IS NOT ACTIVE");
        return true;
    }
    return false;
}

void TDemoApp::OnSignOn(TSimSession& s, const TSimInbound& in) {
    if (in.aid == aid::PF[2]) {  // PF3: exit
        EndSession(s);
        return;
    }
    const std::string user = Input(in, kUserRow, kSignOnCol);
    const std::string password = Input(in, kPasswordRow, kSignOnCol);
    mUser = user;
    if (user.empty()) {
        Show(s, Panel::SignOn, "TYPE YOUR USER ID");
        return;
    }
    const auto known = std::find_if(kUsers.begin(), kUsers.end(), [&](const TDemoUser& u) {
        return user == u.id && password == u.password;
    });
    if (known == kUsers.end()) {
        Show(s, Panel::SignOn, password.empty() ? "TYPE YOUR PASSWORD" : "USER ID OR PASSWORD IS NOT VALID");
        return;
    }
    Show(s, Panel::Menu);
}

void TDemoApp::OnMenu(TSimSession& s, const TSimInbound& in) {
    if (in.aid == aid::PF[2]) {  // PF3: sign off
        mUser.clear();
        Show(s, Panel::SignOn, "YOU HAVE BEEN SIGNED OFF");
        return;
    }
    const std::string option = Input(in, kCommandRow, kCommandCol);
    if (option == "1") {
        mAccount.clear();
        Show(s, Panel::Inquiry);
    } else if (option == "2") {
        Show(s, Panel::Messages);
    } else if (option == "X" || option == "LOGOFF") {
        EndSession(s);
    } else if (option.empty()) {
        Show(s, Panel::Menu, "TYPE AN OPTION NUMBER");
    } else {
        Show(s, Panel::Menu, "OPTION " + option + " IS NOT VALID");
    }
}

void TDemoApp::OnInquiry(TSimSession& s, const TSimInbound& in) {
    if (in.aid == aid::PF[2]) {  // PF3: back
        Show(s, Panel::Menu);
        return;
    }
    const std::string command = Input(in, kCommandRow, kCommandCol);
    if (command == "LOGOFF") {
        EndSession(s);
        return;
    }
    const std::string account = Input(in, kAccountRow, kAccountCol);
    mAccount = account;
    if (!command.empty()) {
        Show(s, Panel::Inquiry, "COMMAND " + command + " IS NOT KNOWN");
    } else if (account.empty()) {
        Show(s, Panel::Inquiry, "TYPE AN ACCOUNT NUMBER");
    } else if (account.size() != kAccountLen ||
               !std::all_of(account.begin(), account.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        Show(s, Panel::Inquiry, "ACCOUNT NUMBER MUST BE 5 DIGITS");
    } else if (FindAccount(account) == nullptr) {
        Show(s, Panel::Inquiry, "ACCOUNT " + account + " NOT FOUND");
    } else {
        Show(s, Panel::Inquiry);
    }
}

void TDemoApp::OnMessages(TSimSession& s, const TSimInbound& in) {
    if (in.aid == aid::PF[2]) {  // PF3: back
        Show(s, Panel::Menu);
        return;
    }
    if (Input(in, kCommandRow, kCommandCol) == "LOGOFF") {
        EndSession(s);
        return;
    }
    Show(s, Panel::Messages);
}

}  // namespace tnsim
