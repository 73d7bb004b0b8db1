// The TN3270E session component TTn3270E: the one component the package
// installs. It derives from the telnet client TOrvTelnet and adds what is
// particular to 3270: the 3270 data stream with its 24x80 screen, the
// terminal type, the TN3270E device-type and function negotiation
// (RFC 2355), text records shown as field lines, the screen published as
// two field lists after every change, and the attention keys that send the
// application's edits back to the host.
//
// Using it:
//
//   TTn3270E tn;                       // or TTn3270E tn(form) for handlers on form's dispatcher
//   tn.Host = "mainframe.example";     // Port defaults to 23
//   tn.OnScreenChange = [&](TObject*) {
//       // Inside a handler the lists, the screen and the cursor are
//       // stable, whatever other threads call meanwhile (see Threading).
//       for (int i = 0; i < tn.HostFields.Count(); ++i)
//           show(*As3270Field(tn.HostFields.Items(i)));
//   };
//   tn.Connect();
//
// Reading and editing the field lists outside a handler (the reader thread
// may rebuild them at any moment): hold the session lock for the whole
// read-edit-send sequence, and keep no record pointer after releasing it.
//
//   {
//       auto guard = tn.Lock();        // recursive: SetAidKey inside is fine
//       if (auto* f = As3270Field(tn.UnprotectedFields.Items(0)))
//           f->SetData("DEMO");        // marks the record Modified
//       tn.SetAidKey(TTn3270AidKey::akEnter);
//   }                                  // handlers raised meanwhile run here, unlocked
//
// Or take a consistent copy to read at leisure: `auto s = tn.Snapshot();`.
//
// Threading: every member below that touches the stream, the screen or the
// lists takes the session lock (TSessionGuard) itself; event handlers are
// never called with the lock held (see telnet/uOrvTelnet.h). Handlers may
// call any member, SetAidKey included, on the thread they run on, and may
// destroy the component (no event follows).
//
// Stable inside a handler: what a handler sees (both lists and their
// records, the screen buffer, the cursor) changes only between handlers,
// never under one, whatever other threads call meanwhile. A running
// handler owns the session as the lock's holder does: the reader and any
// other thread that takes the lock (a key, Connect, Type, Snapshot, a
// property) wait until it has returned, without holding the lock.
// Disconnect never waits: from another thread it cuts the connection at
// once (IsConnected turns false, the host sees the end) and leaves the
// close to the handler's thread, which empties the lists and the screen
// and raises OnDisconnect once the handler has returned. So a handler must
// not wait for a thread that is calling the component: that thread is
// waiting for the handler.
//
// Records: the component owns every record of the screen, including any
// record the application hands to either list as a std::unique_ptr, and
// frees them all together at the next screen change, SysReq, text record,
// connect, disconnect or destruction. Between those the lists are the
// application's to change: Delete, Remove, Clear, SetItems and Assign only
// change a list, so a record stays valid for the other list (SetAidKey
// writes back whatever UnprotectedFields then holds). Extract takes a
// record out of both lists and hands it to the application for good.
// Records are valid only while the lock is held or inside the handler that
// announced them.
#pragma once

#include "display/uTypingEngine.h"
#include "fields/u3270Fields.h"
#include "stream/uOrvTn3270stream.h"
#include "telnet/uOrvTelnet.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A consistent copy of what the component publishes, taken under the lock.
struct TTn3270Snapshot {
    // Copies of the records (Len kept), in screen order.
    std::vector<T3270Field> HostFields;
    // Copies of the editable records, in screen order.
    std::vector<T3270Field> UnprotectedFields;
    // 1-based cursor position of HostFields (0 while the lists are empty).
    std::int16_t CursorPos = 0;
    // Keyboard-lock text of the screen buffer: empty means unlocked.
    std::string Status;
    TSessionState SessionState = TSessionState::ssNone;
    // Screens published so far by this component (field extraction and
    // text records); a new value means a new screen.
    std::uint64_t ScreenCount = 0;
    bool Connected = false;
};

class TTn3270E : public TOrvTelnet {
public:
    // The default size of every screen (the size of a model 2).
    static constexpr std::int32_t kRows = 24;
    static constexpr std::int32_t kCols = 80;
    // DebugLevel set by Debug := true.
    static constexpr std::uint16_t kDebugOnLevel = 9;

    // TN3270E subnegotiation codes (RFC 2355 section 8).
    static constexpr std::uint8_t TN_ASSOCIATE = 0, TN_CONNECT = 1, TN_DEVICE_TYPE = 2, TN_FUNCTIONS = 3,
                                  TN_IS = 4, TN_REASON = 5, TN_REJECT = 6, TN_REQUEST = 7, TN_SEND = 8;
    // Highest function code this component knows (SYSREQ).
    static constexpr std::uint8_t kMaxFunctionCode = 4;

    // Functions requested by a new component (DATA-STREAM-CTL is not).
    static constexpr TTn3270ExtendedFunctions kDefaultFunctions{
        TTn3270ExtendedFunction::efBindImage, TTn3270ExtendedFunction::efResponses,
        TTn3270ExtendedFunction::efScsCtlCodes, TTn3270ExtendedFunction::efSysReq};

    // Idle, empty screen and lists, TerminalType tt3278m2E, Extended true,
    // DeviceName empty, Functions kDefaultFunctions, Port 23. An owner that
    // is a TWinControl with a dispatcher makes the handlers run on the
    // dispatcher's thread.
    explicit TTn3270E(TComponent* AOwner = nullptr);
    // Stops the reader thread first; a connected component is closed
    // without OnDisconnect. Not while another thread is inside a call.
    ~TTn3270E() override;
    TTn3270E(const TTn3270E&) = delete;
    TTn3270E& operator=(const TTn3270E&) = delete;

    // ---- published properties (Host, Port, DebugDir, ConversionTable and
    // the seven On... events are TOrvTelnet's). Any thread; each takes the lock.
    TTn3270TerminalType GetTerminalType() const;
    void SetTerminalType(TTn3270TerminalType value);
    // LU name to ask for at the next negotiation; after a CONNECT the name
    // the host assigned, emptied by a REJECT. Kept across connections.
    std::string GetDeviceName() const;
    void SetDeviceName(const std::string& value);
    // Whether the TN3270E option may be accepted (also sets AllowTn3270E).
    // Takes effect at the host's next DO TN3270E.
    bool GetExtended() const;
    void SetExtended(bool value);
    // True when DebugLevel is not 0; true sets DebugLevel 9, false 0.
    bool GetDebug() const;
    void SetDebug(bool value);

    // Display model 2 to 5 (alternate size 24x80, 32x80, 43x80, 27x132;
    // the default size is always 24x80). Default 2, or Telnet.ini's
    // "Model". Taken at the next Connect; std::invalid_argument otherwise.
    std::int32_t GetModel() const;
    void SetModel(std::int32_t value);
    // An oversize alternate size instead of the model's (terminal type
    // IBM-DYNAMIC). At most 255 rows, 255 columns and 16,383 positions
    // (std::invalid_argument otherwise); one smaller than the model's
    // rows or columns is ignored at Connect, as terminals ignore it.
    std::optional<TScreenSize> GetOversize() const;
    void SetOversize(std::optional<TScreenSize> value);
    // A model given by name: "4", "3278-4", "3279-4-E" (the form of
    // Telnet.ini's Model). 3279 sends a 3279 name in TERMINAL-TYPE (the
    // DEVICE-TYPE request always names a 3278); "-E" selects tt3278m2E,
    // and a name without it leaves TerminalType as it is.
    // std::invalid_argument for anything else.
    void SetModelName(std::string_view name);
    // True after a 3279 name.
    bool GetColourName() const;
    // The alternate size the Model and Oversize give (24x80 for model 2).
    TScreenSize AlternateSize() const;

    // ---- other state
    // Functions to request; replaced by the host's FUNCTIONS IS. Kept
    // across connections, so the next one asks for the agreed set.
    TTn3270ExtendedFunctions GetFunctions() const;
    void SetFunctions(TTn3270ExtendedFunctions value);
    // The key last passed to SetAidKey (akNoOp at first).
    TTn3270AidKey GetLastAidKey() const;
    // The AID byte of a key; 0 for akNoOp, akATTN and akSysReq (no AID).
    static std::uint8_t AidByte(TTn3270AidKey key);
    // Text of a DEVICE-TYPE REJECT reason code; null above 7.
    static const char* RejectReasonText(std::uint8_t code);

    // ---- operations (application thread or a handler)
    // Session state to ssNone (OnSessionState when it was another one),
    // header-less records, then TOrvTelnet::Connect. Nothing at design time.
    void Connect() override;
    void Disconnect() override;
    // The stream's session state.
    TSessionState GetSessionState() override;
    // TERMINAL-TYPE name of the model taken at the last Connect (before
    // one: the properties' model): "IBM-3278-N" for tt3278m2,
    // "IBM-3278-N-E" for tt3278m2E ("IBM-3279-..." after a 3279 name),
    // "IBM-DYNAMIC" for an oversize screen; whatever Extended says. With
    // nothing chosen "IBM-3278-2-E".
    std::string GetTermType() override;
    // The name of the TN3270E DEVICE-TYPE request: as GetTermType, but
    // always a 3278.
    std::string GetDeviceTypeName();

    // Sends an attention key and records it as LastAidKey.
    // Enter, Clear, PF1-PF24, PA1-PA3: the stream's Aid := the key's AID;
    // the cursor := UnprotectedFields.CursorPos - 1; every Modified record
    // of UnprotectedFields, in list order, is written back into the screen
    // (putField at Pos - 1 over Len); then the Read Modified reply (AID,
    // cursor, SBA and data of each modified field; Clear and PA the AID
    // alone) goes to the host.
    // akATTN: IAC IP, OnSystemLock, and the next screen raises OnSystemUnLock.
    // akSysReq: IAC AO; the screen is cleared, state ssSscpLu, the lists
    // rebuilt (empty screen) and OnSessionState raised.
    // akNoOp: nothing but LastAidKey.
    // On a closed connection nothing is sent (the screen is still updated).
    // From another thread while a handler runs, it waits for the handler.
    void SetAidKey(TTn3270AidKey key);

    // Types text (local character set) at the cursor as an operator would
    // (see display/uTypingEngine.h): overwrites, moves the cursor, skips
    // autoskip fields, sets the MDT; stops at the first refused character
    // (protected position, numeric field, a character the code page cannot
    // carry) and says why in the result. Modified records of
    // UnprotectedFields and its cursor are written to the screen first (as
    // a key would); afterwards both lists are rebuilt from the screen (old
    // record pointers are invalid) with the new cursor. Works on SSCP-LU
    // and unformatted screens, which have no field to edit. Sends nothing.
    TTypeResult Type(std::string_view text);
    // Any edit of the typing engine, as Type does it: the edited records and
    // the list's cursor to the screen first, the edit, both lists rebuilt.
    TTypeResult Edit(const std::function<TTypeResult(TTypingEngine&)>& edit);
    // A cursor movement of the typing engine (Tab, Home, Move, ...) on the
    // screen's cursor; the lists' CursorPos follow (PlaceCursor). Records
    // are neither written back nor rebuilt.
    void MoveCursor(const std::function<void(TTypingEngine&)>& move);

    // Places the one cursor: the screen buffer's position, and both lists'
    // CursorPos (1-based) derived from it, so that the next key sends it.
    // False (nothing changed) for a position off the screen. Takes the lock.
    bool PlaceCursor(std::int32_t position);

    // Copies of both lists, cursor, status and state, under the lock.
    // Costs one copy of each record (a screen is at most a few hundred).
    TTn3270Snapshot Snapshot();
    // Screens published so far (see TTn3270Snapshot::ScreenCount).
    std::uint64_t ScreenCount() const;
    // True while the lists hold the lines of a host text record rather
    // than the fields of the screen (which a text record does not paint:
    // the screen buffer may still hold the 3270 screen before it). Takes
    // the lock.
    bool ListsHoldText() const;

    // The 3270 stream and its screen buffer. Hold the lock while using them.
    TOrvTn3270stream& Tn3270Stream();

    // ---- engine overrides (called by TOrvTelnet with the lock held)
    // Creates the 24x80 3270 stream and wires OnWriteData -> tcpWrite,
    // the screen's OnStatusChange -> StatusChange, OnNotify -> NotifyEvent.
    void CreateTnStream() override;
    // ceSessionConnected, ceSessionDisconnected: both lists emptied
    // (UnprotectedFields first) before the event is passed on.
    void NotifyEvent(TCallBackEvent cbEvent) override;
    // TERMINAL-TYPE (inherited) and TN3270E (option 40) subnegotiations.
    // data: the bytes after IAC SB up to and including the IAC before SE;
    // nothing past data[len - 1] is read.
    void NegociateSubOption(const std::uint8_t* data, std::uint16_t len) override;
    // A text record shown as protected field lines, then OnScreenChange.
    void TelnetErrorMessage(const std::uint8_t* data, std::int32_t len) override;
    // Rebuilds HostFields and UnprotectedFields from the screen.
    void GenHostFields() override;
    // Leaves TN3270E header mode.
    void Tn3270EWithdrawn(bool byUs) override;

    // Every field of the current screen, in screen order.
    // Read and edit only under the lock or inside a handler.
    TDSFields HostFields;
    // The editable records of HostFields (the same objects). Both lists
    // share one record set (TDSFields::ShareRecords): see "Records" above.
    TDSFields UnprotectedFields;

private:
    // DEVICE-TYPE REQUEST with the terminal type and, when withName, CONNECT DeviceName.
    void SendDeviceTypeRequest(bool withName);
    // FUNCTIONS REQUEST or IS (verb) with the given codes.
    void SendFunctions(std::uint8_t verb, const std::vector<std::uint8_t>& codes);
    // IAC SB TN3270E body IAC SE through the session (0xFF in body doubled,
    // logged, held back while START_TLS is pending).
    void SendTn3270ESubneg(const std::vector<std::uint8_t>& body);
    void EmptyLists();
    TSessionGuard Guard() const;
    static TScreenSize effectiveAlternate(std::int32_t model, const std::optional<TScreenSize>& oversize);
    // Takes the model for the next session (names and sizes).
    void latchModel();
    std::string terminalName(bool deviceType) const;

    TOrvTn3270stream* stream3270_ = nullptr;  // the Stream, typed; guarded by the lock
    // Guarded by the session lock:
    std::string deviceName_;
    TTn3270TerminalType terminalType_ = TTn3270TerminalType::tt3278m2E;
    bool extended_ = true;
    TTn3270ExtendedFunctions functions_ = kDefaultFunctions;
    std::int32_t model_ = kDefaultModel;
    std::optional<TScreenSize> oversize_;
    bool colour3279_ = false;
    // The model of the current (or next) session, taken by Connect.
    std::int32_t sessionModel_ = kDefaultModel;
    bool sessionOversize_ = false;
    bool sessionColour_ = false;
    // A DEVICE-TYPE REJECT has been retried without the name in this connection.
    bool rejectRetried_ = false;
    TTn3270AidKey lastAidKey_ = TTn3270AidKey::akNoOp;
    std::uint64_t screenCount_ = 0;
    bool listsHoldText_ = false;  // see ListsHoldText; under the lock
};
