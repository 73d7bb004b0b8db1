// A short example of the TN3270E component: connects to a host, prints every
// screen as its host fields, types an optional text into the first
// unprotected field, sends Enter once, prints the answer and ends.
//
//   example_fields host[:port] [text]
//
// It shows the two safe ways to use the field lists: inside an event
// handler (the lists are stable there) and from the application's own
// thread while holding the component's lock.
#include "component/uTn3270E.h"

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

constexpr std::int32_t kDefaultPort = 23;
constexpr auto kScreenTimeout = std::chrono::seconds(30);

void PrintField(const T3270Field& f)
{
    // Non-display fields (passwords) are not shown.
    const std::string text = f.GetVisible() ? f.Data : std::string(f.Data.size(), '*');
    std::printf("  %-7s len %2d %s%s%s%s colour $%08X '%s'\n", f.GetName().c_str(), f.Len,
                f.GetEditable() ? "input" : "label", f.GetNumeric() ? " numeric" : "", f.GetHigh() ? " bright" : "",
                f.GetModified() ? " modified" : "", static_cast<unsigned>(f.GetColor()), text.c_str());
}

// Called from OnScreenChange: no lock is needed inside a handler.
void PrintScreen(TTn3270E& tn, int number)
{
    std::printf("--- screen %d: %d fields, %d input, cursor at %d\n", number, tn.HostFields.Count(),
                tn.UnprotectedFields.Count(), tn.HostFields.CursorPos);
    for (std::int32_t i = 0; i < tn.HostFields.Count(); ++i) {
        const T3270Field* f = As3270Field(tn.HostFields.Items(i));
        // Blank protected filler is noise in a listing.
        if (f != nullptr && (f->GetEditable() || f->Data.find_first_not_of(' ') != std::string::npos))
            PrintField(*f);
    }
    std::fflush(stdout);
}

bool ParseHost(const std::string& arg, std::string& host, std::int32_t& port)
{
    const auto colon = arg.rfind(':');
    host = arg.substr(0, colon);
    port = kDefaultPort;
    if (colon == std::string::npos)
        return !host.empty();
    const char* first = arg.data() + colon + 1;
    const char* last = arg.data() + arg.size();
    const auto [end, ec] = std::from_chars(first, last, port);
    return !host.empty() && ec == std::errc() && end == last && port > 0 && port < 65536;
}

} // namespace

int main(int argc, char** argv)
{
    std::string host;
    std::int32_t port = 0;
    if (argc < 2 || argc > 3 || !ParseHost(argv[1], host, port)) {
        std::fprintf(stderr, "usage: %s host[:port] [text for the first input field]\n", argv[0]);
        return 2;
    }
    const std::string text = argc == 3 ? argv[2] : "";

    TTn3270E tn;
    tn.Host = host;
    tn.Port = port;

    std::mutex mutex;
    std::condition_variable changed;
    int screens = 0;               // screens printed
    std::uint64_t published = 0;   // the component's screen count at the last one
    bool ended = false;

    // Handlers run on the connection's reader thread (there is no window
    // dispatcher here), never while the component's lock is held.
    tn.OnConnect = [&](TObject*) { std::printf("connected to %s:%d\n", host.c_str(), port); };
    tn.OnConnectionFail = [&](TObject*) {
        std::printf("connection to %s:%d failed\n", host.c_str(), port);
        std::lock_guard lock(mutex);
        ended = true;
        changed.notify_all();
    };
    tn.OnDisconnect = [&](TObject*) {
        std::printf("disconnected\n");
        std::lock_guard lock(mutex);
        ended = true;
        changed.notify_all();
    };
    tn.OnScreenChange = [&](TObject*) {
        const std::uint64_t count = tn.ScreenCount();
        int number;
        {
            std::lock_guard lock(mutex);
            number = ++screens;
            published = count;
        }
        PrintScreen(tn, number);
        changed.notify_all();
    };

    // Waits for a screen published after the count `after`.
    auto waitForScreen = [&](std::uint64_t after) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kScreenTimeout, [&] { return ended || published > after; }) && !ended;
    };

    tn.Connect();
    if (!waitForScreen(0)) {
        std::printf("no screen\n");
        return 1;
    }

    // A consistent copy, read without holding anything.
    const TTn3270Snapshot snap = tn.Snapshot();
    const std::string keyboard = snap.Status.empty() ? "unlocked" : "locked (" + snap.Status + ")";
    std::printf("first screen: %zu fields, keyboard %s\n", snap.HostFields.size(), keyboard.c_str());

    std::uint64_t sentAt;
    {
        // Outside a handler the reader may rebuild the lists at any moment:
        // edit and send while holding the lock.
        auto guard = tn.Lock();
        if (!text.empty()) {
            if (T3270Field* input = As3270Field(tn.UnprotectedFields.Items(0)))
                input->SetData(text);
            else
                std::printf("the screen has no input field; sending Enter alone\n");
        }
        tn.SetAidKey(TTn3270AidKey::akEnter);
        sentAt = tn.ScreenCount();  // screens up to here were published before the key
    }
    std::printf("Enter sent\n");
    if (!waitForScreen(sentAt))
        std::printf("no answer to Enter\n");
    tn.Disconnect();
    return 0;
}
