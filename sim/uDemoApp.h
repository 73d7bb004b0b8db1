// The demo host application that runs on the host simulator: a small but
// real-looking sign-on, menu and account inquiry, so that the client (and
// the tn3270 tool) can be shown working without a mainframe at hand.
//
// Demo credentials (user ids and passwords are not case-sensitive):
//   user DEMO   password SECRET
//   user GUEST  password GUEST
// Demo accounts for the inquiry: 10001, 10002, 10003, 20001, 20002.
//
// Panels and keys:
//   Sign-on   USER ID (unprotected), PASSWORD (non-display), message line.
//             Enter signs on; PF3 or PF12 ends the session.
//   Main menu OPTION ===> 1 (account inquiry), 2 (messages), X or LOGOFF.
//             PF3 signs off (back to the sign-on panel); PF12 ends the session.
//   Inquiry   ACCOUNT NUMBER (numeric, 5 digits), coloured protected result
//             lines, COMMAND ===> (LOGOFF). PF3 back to the menu; PF12 ends.
//   Messages  a few coloured lines (one with Set Attribute inside its field,
//             a ruled line of Graphic Escape codes); PF3 back to the menu;
//             PF12 ends.
// Wrong input is answered with the panel again, a message on row 22 and
// the keyboard unlocked (WCC restore, with the alarm). Clear shows the
// panel again; PA keys and inactive PF keys get a message. Ending the
// session sends UNBIND (when BIND-IMAGE was agreed) and closes the
// connection. SysReq (IAC AO) in TN3270E mode suspends the LU-LU session:
// the SSCP writes a line of text; any input resumes (BIND and the panel
// again) unless it contains LOGOFF.
//
// With ussLogon (and BIND-IMAGE agreed) the session starts as a real one
// does: the SSCP shows its welcome screen (a banner of '@', then "ENTER
// APPLICATION NAME:") as SSCP-LU text; "DEMO" or "LOGON APPLID(DEMO)"
// binds the application (the sign-on panel), anything else is answered
// "INVALID COMMAND" and the prompt again. The SSCP reads only what was
// typed after its prompt, as a terminal sends it.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "sim/uHostSimulator.h"

namespace tnsim {

struct TDemoOptions {
    // The date and time shown on the panels; default: the local time now.
    std::function<std::tm()> clock;
    // Send Read Partition Query first and wait for the reply before the
    // sign-on panel.
    bool queryOnStart = false;
    // Ask for a response to every screen (when RESPONSES was agreed).
    bool alwaysResponse = false;
    // Start with the SSCP's welcome screen and a logon (see above).
    bool ussLogon = false;
};

class TDemoApp : public ISimHostApp {
public:
    enum class Panel { Starting, Welcome, SignOn, Menu, Inquiry, Messages, Suspended, Ended };

    explicit TDemoApp(TDemoOptions options = {});
    // A factory for THostSimulator options: every connection gets a demo.
    static TSimAppFactory Factory(TDemoOptions options = {});

    void OnStart(TSimSession& session) override;
    void OnRecord(TSimSession& session, const TSimRecord& record) override;
    void OnTelnetCommand(TSimSession& session, std::uint8_t command) override;

    // Where the user is; read on the session's thread (or after it ended).
    Panel CurrentPanel() const { return mPanel; }
    const std::string& User() const { return mUser; }

    // The panels, as 3270 records (Erase/Write with keyboard restore); for
    // tests and for anyone who wants the demo's screens without a session.
    Bytes SignOnPanel(const std::string& message, const std::string& user = {}) const;
    Bytes MenuPanel(const std::string& message) const;
    Bytes InquiryPanel(const std::string& message, const std::string& account = {}) const;
    Bytes MessagesPanel(const std::string& message) const;

private:
    void Show(TSimSession& s, Panel panel, const std::string& message = {});
    void ShowLogon(TSimSession& s);
    void ShowWelcome(TSimSession& s);
    void OnWelcome(TSimSession& s, const TSimRecord& record);
    // The USS welcome screen as SSCP-LU text.
    static std::string WelcomeText();
    void EndSession(TSimSession& s);
    void OnSignOn(TSimSession& s, const TSimInbound& in);
    void OnMenu(TSimSession& s, const TSimInbound& in);
    void OnInquiry(TSimSession& s, const TSimInbound& in);
    void OnMessages(TSimSession& s, const TSimInbound& in);
    bool CommonKeys(TSimSession& s, const TSimInbound& in);
    // The LU 2 BIND with the terminal's alternate size.
    Bytes BindImage() const;
    // An encoder for the terminal's size with the panel's erase command.
    class TSim3270Encoder Panel3270(const std::string& message) const;
    void Header(class TSim3270Encoder& e, const std::string& title, const std::string& panelId) const;
    void Footer(class TSim3270Encoder& e, const std::string& message, const std::string& keys) const;
    // The command line: its label and input field and, on a screen wider
    // than 80 columns, the scroll amount field at its right end, as ISPF
    // shows it there.
    void CommandLine(class TSim3270Encoder& e, const std::string& label, bool closeExtended = false) const;
    int ScrollCol() const;
    std::tm Now() const;

    TDemoOptions mOptions;
    Panel mPanel = Panel::Starting;
    Panel mResume = Panel::SignOn;  // where SysReq left the user
    bool mBound = false;          // BIND sent and not UNBIND
    bool mBindAgreed = false;
    std::string mUser;
    std::string mLu;
    std::string mAccount;         // last account shown
    std::string mScroll = "PAGE"; // the scroll amount, kept as the user typed it
    // The terminal's alternate size, from the model its terminal type names
    // (IBM-3278-4-E: 43x80); larger than 24x80, the panels are written with
    // Erase/Write Alternate and the message and key lines sit at its foot,
    // as ISPF does. IBM-DYNAMIC and model 2: 24x80 with Erase/Write.
    int mRows = 24;
    int mCols = 80;
};

}  // namespace tnsim
