// Record flows as a host sends them, written as scripts (see StreamScript.h):
// TN3270E dispatch and session state, write commands and orders, read
// replies and structured fields, every reply compared byte for byte.
#include "StreamScript.h"

#include <gtest/gtest.h>

namespace {

// The query replies of a 24 x 80 colour display, one per line.
#define QR_SUMMARY "00 0A 81 80 80 81 85 86 87 A6 "
#define QR_COLOR "00 16 81 86 00 08 00 F4 F1 F1 F2 F2 F3 F3 F4 F4 F5 F5 F6 F6 F7 F7 "
#define QR_HIGHLIGHTING "00 0D 81 87 04 00 F0 F1 F1 F2 F2 F4 F4 "
#define QR_USABLE_AREA "00 17 81 81 01 00 00 50 00 18 00 00 02 00 89 00 02 00 85 09 10 07 80 "
#define QR_IMPLICIT_PARTITION "00 11 81 A6 00 00 0B 01 00 00 50 00 18 00 50 00 18 "
#define QR_CHARACTER_SETS "00 10 81 85 00 00 09 10 00 00 00 00 03 00 00 00 "
// The whole set (Query, Query List "all"): Summary first.
#define QUERY_REPLY                                                                                    \
    "88 " QR_SUMMARY QR_COLOR QR_HIGHLIGHTING QR_USABLE_AREA QR_IMPLICIT_PARTITION QR_CHARACTER_SETS

struct Script {
    const char* name;
    const char* text;
};

const Script kScripts[] = {
    // ---- TN3270E records and session state -------------------------------
    {"ResponseRequestedThenWrite", R"(
mode e
push 00 00 02 00 07 F5 C3 11 40 40 C1
sent 02 00 00 00 07 00        # positive response first, with the request's sequence number
row 1 "A"
cursor 1
aid 60
status ""                     # keyboard restored by the WCC
dstatus "SYSTEM"              # the screen buffer's copy is the telnet layer's job
reply 00
key 7D
sent 00 00 00 00 07 7D 40 C1 C1  # unformatted LU-LU screen: AID, cursor, characters
status "SENDING"
dstatus "SENDING"
)"},
    {"OtherResponseFlagsSendNothing", R"(
mode e
push 00 00 00 00 08 F5 C3 C1
push 00 00 01 00 09 F5 C3 C2
row 1 "B"
)"},
    {"PlainRecordsRaiseLuLuOnce", R"(
mode p
push                          # an empty record is dropped: no state change
state None
push F1 C2 C1
state LuLu
notes 1
push F1 C2 C2
notes 1
row 1 "B"                     # a Write without IC leaves the cursor at 0
)"},
    {"InvalidDataTypeThenValidRecord", R"(
mode e
fail "Invalid data-type in TN3270E Header" 08 00 02 00 01 F5 C3 C1
row 1 ""
updated 0
push 00 00 00 00 02 F5 C3 C2
row 1 "B"
updated 1
)"},
    {"ShortExtendedRecordsAreDropped", R"(
mode e
push 00 00 02                 # shorter than the header
push 05 00 02 00 01           # NVT header alone: never answered
updated 0
state None
push 00 00 00 00 02 F5 C3 C1
row 1 "A"
)"},
    {"BindAndUnbind", R"(
mode e
push 00 00 00 00 01 F5 C3 11 C1 50 C1 C2
cursor 82
push 03 00 02 00 02 31 01 03 03 B1   # never answered, the image is not read
state LuLu
notes 1
cursor 0
row 2 "AB"
updated 1                            # the write; BIND itself publishes nothing
push 04 00 00 00 03 01
updated 1                            # UNBIND publishes the cleared screen
state SscpLu
notes 2
row 2 ""
cursor 0
push 01 00 02 00 04 C1               # SCS, response, NVT and request records are ignored
push 02 00 02 00 05 00
push 05 00 02 00 06 C1
push 06 00 02 00 07 C1
row 1 ""
notes 2
)"},
    {"SscpLuData", R"(
mode e
push 07 00 00 00 04 C8 C5 D3 D3 D6
state SscpLu
notes 1
row 1 "HELLO"
status ""
reply 07
cursor 5
type "AB"
key 7D
sent 07 00 00 00 04 C1 C2     # the input after the SSCP's output only
cursor 7
push 07 00 02 00 05 5A
sent 02 00 00 00 05 00
reply 07
row 1 "HELLOAB!"               # written at the cursor
)"},
    // ---- the application's edits written back, then Read Modified ---------
    // An input field of 10 positions at 81-90 (field attribute at 80,
    // protected field at 91). Writing is Erase EOF then typing: the host
    // gets the words, never a padding blank.
    {"WriteBackSendsWhatWasTyped", R"(
mode p
push F5 C3 11 C1 50 1D 40 13 11 C1 5B 1D 60
put 81 10 "ABC       "       # a value padded to the field's length
at 81 "ABC......."
key 7D
sent 7D C1 D1 11 C1 D1 C1 C2 C3
push F5 C3 11 C1 50 1D 4C 13 11 C1 5B 1D 60
put 81 10 "testpsw "         # a password in a non-display field
key 7D
sent 7D C1 D1 11 C1 D1 A3 85 A2 A3 97 A2 A6
push F5 C3 11 C1 50 1D 40 13 D1 D6 C8 D5 11 C1 5B 1D 60
put 81 10 "JOHN SMITH"       # over "JOHN": the blank between the words stays
key 7D
sent 7D C1 D1 11 C1 D1 D1 D6 C8 D5 40 E2 D4 C9 E3 C8
push F5 C3 11 C1 50 1D 40 13 C1 C2 C3 11 C1 5B 1D 60
put 81 10 "  NEW"            # leading blanks over "ABC" become nulls
at 81 "..NEW....."
key 7D
sent 7D C1 D1 11 C1 D1 D5 C5 E6
push F5 C3 11 C1 50 1D 40 13 40 40 D6 D3 C4 40*5 11 C1 5B 1D 60
put 81 10 "  NEW"            # ... over the host's own blanks they stay
key 7D
sent 7D C1 D1 11 C1 D1 40 40 D5 C5 E6
push F5 C3 11 C1 50 1D 40 13 D6 D3 C4 40*7 11 C1 5B 1D 60
put 81 10 "          "       # an all-blank value empties the field, the host's blanks too
at 81 ".........."
key 7D
sent 7D C1 D1 11 C1 D1
push F5 C3 11 C1 50 1D 40 13 40*10 11 C1 5B 1D 60
put 81 10 "ABC"               # the host's blanks after the text become nulls
key 7D
sent 7D C1 D1 11 C1 D1 C1 C2 C3
push F5 C2 11 C1 50 1D C1 13 D6 D3 C4 40 40 11 C1 5B 1D 60
put 81 10 "OLD"               # a premodified field written back as shown: untouched
key 7D
sent 7D C1 D1 11 C1 D1 D6 D3 C4 40 40
)"},
    {"WriteBackOnTheSscpLuScreen", R"(
mode e
push 04 00 00 00 01 01        # UNBIND: an empty SSCP-LU screen
state SscpLu
put 0 1920 "LOGON APPL1     "
row 1 "LOGON APPL1"
key 7D
sent 07 00 00 00 01 D3 D6 C7 D6 D5 40 C1 D7 D7 D3 F1
)"},
    {"ReadModifiedInSscpLuStateCarriesItsDataType", R"(
mode e
bindimage 1
push 04 00 00 00 01 01
push 00 00 00 00 02 F5 C3 C1 C2
state SscpLu
reply 00
key 7D
sent 07 00 00 00 02           # SSCP-LU input: nothing after the output
)"},
    {"NoOperationOnlyUpdates", R"(
mode p
push 03
updated 1
status "WAITING"
row 1 ""
)"},
    {"ReadBufferPlainAndExtended", R"(
mode p
push F5 C2
push F2
status ""                     # the host's read leaves the keyboard as it was
sent 60 40 40 00*1920
push F5 C2 1D E0
push F2
sent 60 40 C1 1D 20 00*1919
mode e
push 00 00 00 00 09 F6
sent 00 00 00 00 09 60 40 C1
)"},
    // ---- Write commands and orders ---------------------------------------
    {"WriteAtBufferAddress", R"(
mode p
push F1 C2 11 40 4A C1 C2
at 10 "AB"
cursor 0                      # a Write without IC leaves the cursor
aid 60
status ""
)"},
    {"EraseWriteWithoutRestoreKeepsKeyboardLocked", R"(
mode p
push F5 40 1D 40 C1
at 0 "|A"
cursor 1
fa 0 00
status "SYSTEM"
aid 00
)"},
    {"CursorByInsertCursorAndFirstUnprotectedField", R"(
mode p
push F5 C2 1D 40 C1 11 40 4A 13 11 40 D4 1D 40 C2
cursor 10                     # IC wins; the second unprotected field moves nothing
push F5 C2 1D 60 C1 C2 11 40 4A 1D 60 C3
cursor 12                     # protected fields only: the last buffer address
)"},
    {"RepeatToAddress", R"(
mode p
push F5 C2 11 40 4A 3C 40 4A C1
count A 1920                  # stop address = start: the whole screen
cursor 10
push F5 C2 28 42 F2 3C 40 40 08 C1
count A 1920                  # GE character, stop address 0
eab 0 10
eab 1919 10                   # stop address 0 keeps the attribute in force
push F5 C2 11 5D 6C 3C 40 4A C2
count B 30                    # 1900..1919 and 0..9
at 1899 ".B"
at 9 "B."
cursor 10
push F5 C2 1D 60 11 40 C5 1D 40 11 40 C3 3C 40 C8 C3
at 0 "|..CCCCC"               # a field attribute in the way is overwritten
fa 6 20
)"},
    {"EraseUnprotectedToAddress", R"(
mode p
push F5 C2 1D 60 C1 C1 1D 40 C2 C2 11 5D 7F C3
at 0 "|AA|BB"
at 1919 "C"
push F1 C2 11 40 C4 12 40 C4
at 0 "|AA|.."
at 1919 "."                   # the last position too
cursor 4
push F5 C2 C1 C2 C3 C4 11 40 C2 12 40 C1
at 0 ".B.."                   # unformatted: from 2 around to 0
count . 1919
)"},
    {"EraseAllUnprotected", R"(
mode p
push F5 40 1D 60 C1 1D 41 C2 C3 C4 1D 60 11 C1 E4 13
at 0 "|A|BCD|"
fa 2 01
cursor 100
aid 00
push 6F
at 0 "|A|...|"
fa 2 00
cursor 3
aid 60
status ""
push F5 40 1D 60 C1 11 40 C5 13
push 6F
cursor 0                      # no unprotected field
)"},
    {"SetAttributeAndStartFieldExtended", R"(
mode p
push F5 C2 28 00 00 C1 28 42 F2 C2
at 0 "AB"
eab 0 00
eab 1 10
push F5 C2 29 02 C0 60 41 F2 C1
at 0 "|A"
fa 0 20
eab 0 80
eab 1 80
push F5 C2 29 01 42 F4 C1     # no field attribute pair: attribute 08
fa 0 08
eab 0 20
eab 1 20
push F5 C2 28 42 F1 1D 40 C1 1D 60 C2
eab 0 00                      # unprotected SF drops the attribute in force
eab 1 00
eab 2 00
push F5 C2 28 42 F1 1D 60 C1
eab 0 08                      # a protected one takes it
eab 1 08
push F5 C2 2C 01 41 F1 C1     # MF changes nothing
at 0 "A"
eab 0 00
)"},
    {"ProgramTab", R"(
mode p
push F5 C2 1D 60 C1 1D 40 C2 C3 1D 60 1D 40 C4 C5
at 0 "|A|BC||DE"
cursor 3
push F1 C2 05 C6              # first in the write: from 3 to the next field, no erasing
at 0 "|A|BC||FE"
push F1 C2 11 40 C4 05 C7     # after SBA: tabs to 7 without erasing
at 0 "|A|BC||GE"
push F1 C2 11 40 C3 C8 05 C9  # after a character: nulls the rest of its field, not the next
at 0 "|A|H.||IE"
cursor 3                      # a Write without IC leaves the cursor
fa 1 20
push F1 C2 11 40 C8 05 C9     # no unprotected field after 8: to 0, over the attribute
at 0 "IA|H.||IE"
fa 1 00                       # the field of 6 now reaches around to 1
push F5 C2 1D 40 C1 C2 C3 11 40 C2 C4 05 C5
at 0 "EAD.."                  # the only field: nulls to its end (around the screen), then to 0
push F5 C2 C1 C2 C3 11 40 C1 C4 05 C5
at 0 "ED."                    # unformatted: nulls to the end of the screen, then to 0
count . 1918
)"},
    {"NewLine", R"(
mode p
push F5 C2 11 5C F0 15 C1
at 0 "A"
push F5 C2 11 C1 D5 15 C2
at 160 "B"
cursor 161
)"},
    {"ResetModifiedDataTags", R"(
mode p
push F5 C2 1D 41 C1 1D 61 C2
fa 0 01
fa 2 21
push F1 C3
fa 0 00
fa 2 20
at 0 "|A|B"
)"},
    // ---- Read replies ------------------------------------------------------
    {"ReadModifiedFormatted", R"(
mode p
push F5 C2 11 C1 50 1D 01 C1 11 C1 D3 C2 1D 20 13
cursor 85
key 7D
sent 7D C1 D5 11 C1 D1 C1 C2  # nulls are never reported
key 6E
sent 6E
key 6D
sent 6D
push F1 C3
key 7D
sent 7D C1 D5                 # no modified field
push F6
sent 7D C1 D5                 # the host's Read Modified repeats the last AID
)"},
    {"ReadModifiedFieldInLastPosition", R"(
mode p
push F5 C2 11 40 C5 1D 20 11 5D 7F 1D 01 C1 C2
cursor 0
key F1
sent F1 40 40 11 40 40 C1 C2
)"},
    {"ReadModifiedFieldRunningPastTheEnd", R"(
mode p
push F5 C2 11 40 C5 1D 21 E7 11 5D 6C 1D 01 11 5D 7E C1 C2 C3 C4
key 7D
sent 7D 5D 6D 11 40 C6 E7 11 5D 6D C1 C2 C3 C4
)"},
    {"ReadModifiedAfterTextRecordIsUnformatted", R"(
mode p
push F5 C2 1D 60 C1
push C2                       # no command: written at the cursor
status ""
key 7D
sent 7D 40 C3                 # LU-LU session: the formatted form, no field modified
)"},
    // ---- What host applications depend on ----------------------------------
    {"UnformattedScreenInTheLuLuSession", R"(
mode e
push 00 00 00 00 01 F5 C3     # a cleared screen, keyboard restored; no BIND-IMAGE agreed
state LuLu                    # the 3270 data says the LU-LU session runs
notes 1
type "CICS"
key 7D
sent 00 00 00 00 01 7D 40 C4 C3 C9 C3 E2  # AID, cursor, the characters, no SBA
key F1
sent 00 00 00 00 01 F1 40 C4 C3 C9 C3 E2
key 6D
sent 00 00 00 00 01 6D        # Clear and PA: the AID alone
key 6C
sent 00 00 00 00 01 6C
push 00 00 00 00 02 F1 C2     # restores the keyboard: AID 60
push 00 00 00 00 03 F6
sent 00 00 00 00 03 60 40 C4 C3 C9 C3 E2  # the host's Read Modified, the same form
mode p
push F5 C3
type "TX01"
key 7D
sent 7D 40 C4 E3 E7 F0 F1
)"},
    {"WithBindImageTheStateWaitsForTheBind", R"(
mode e
bindimage 1
push 00 00 00 00 01 F5 C3
state None
notes 0
)"},
    {"WriteWithoutInsertCursorKeepsTheCursor", R"(
mode p
push F5 C2 1D 40 13 11 5B 60 1D 60  # input field at 0 with the cursor, message line at row 23
cursor 1
type "AB"
cursor 3
push F1 C2 11 5B 61 C5 D9 D9 1D 40 C1  # message text and an unprotected field, no IC
cursor 3
key 7D
sent 7D 40 C3 11 40 C1 C1 C2
push F1 C2 11 40 C5 13        # IC places it
cursor 5
push F3 00 0A 40 00 F1 C2 11 40 C6 C1  # also inside Outbound 3270DS
cursor 5
push F5 C2 1D 60 C1 1D 40     # Erase/Write: the first unprotected field
cursor 3
)"},
    {"ReadModifiedAll", R"(
mode p
push F5 C2 1D 40 13 11 40 C3 1D 60
type "AB"
key 6D
sent 6D                       # Clear: the AID alone
push 6E                       # Read Modified All: not shortened, not painted
sent 6D 40 C3 11 40 C1 C1 C2
at 0 "|AB|"
key 6C
sent 6C
push 0E                       # its local code
sent 6C 40 C3 11 40 C1 C1 C2
push F6
sent 6C                       # Read Modified is shortened
mode e
push 00 00 02 00 05 6E
sent 02 00 00 00 05 00
sent 00 00 00 00 05 6C 40 C3 11 40 C1 C1 C2
)"},
    {"QueryList", R"(
mode p
push F3 00 06 01 FF 03 80     # all
sent )" QUERY_REPLY R"(
push F3 00 08 01 FF 03 00 A6 86  # a list: Summary, then the listed replies in the usual order
sent 88 )" QR_SUMMARY QR_COLOR QR_IMPLICIT_PARTITION R"(
push F3 00 08 01 FF 03 40 81 99  # equivalent+list; 0x99 is not supported
sent 88 )" QR_SUMMARY QR_USABLE_AREA R"(
push F3 00 07 01 FF 03 00 80  # the Summary alone
sent 88 )" QR_SUMMARY R"(
push F3 00 07 01 FF 03 00 99  # nothing supported: the Null reply
sent 88 00 04 81 FF
push F3 00 06 01 FF 03 00     # an empty list
sent 88 00 04 81 FF
mode e
push 00 00 00 00 2B F3 00 07 01 FF 03 00 87
sent 00 00 00 00 2B 88 )" QR_SUMMARY QR_HIGHLIGHTING R"(
)"},
    {"SetAttributeResetTakesTheFieldAttributes", R"(
mode p
push F5 C2 29 03 C0 40 42 F2 41 F2 28 42 F4 C1 28 00 00 C2
fa 0 00
eab 0 90                      # red, reverse
eab 1 A0                      # green by SA, reverse kept
eab 2 90                      # SA reset: the field's, not none
push F5 C2 28 42 F4 C1 28 00 00 C2
eab 0 20
eab 1 00                      # unformatted: no field, no attributes
push F5 C2 29 02 C0 60 42 F1 11 40 4A 28 42 F4 28 00 00 C1
eab 10 08                     # the field the characters are in, also far from its start
)"},
    {"HostReadsLeaveTheKeyboardAsItWas", R"(
mode p
push F5 C2 1D 40 C1
status ""
push F6
sent 60 40 C1
status ""
dstatus "SYSTEM"              # the host's Read Modified sets nothing
push F2
sent 60 40 C1 1D 00 C1 00*1918
status ""
dstatus "SYSTEM"
push F5 40 C1                 # locked by the host
status "SYSTEM"
push F6
sent 60 40 C1 C1              # (AID from before: the write did not restore)
status "SYSTEM"
key 7D
sent 7D 40 C1 C1
status "SENDING"              # an attention key locks
)"},
    {"HeaderOnlyRecordAskingForAResponse", R"(
mode e
push 00 00 02 00 07
sent 02 00 00 00 07 00
reply 00
push 07 00 02 00 08
sent 02 00 00 00 08 00
reply 07
push 00 00 00 00 09           # not asking: nothing
updated 0
)"},
    {"SscpLuInputAfterTheLogonPrompt", R"s(
mode e
bindimage 1
push 07 00 00 00 01 7C*80 C5 D5 E3 C5 D9 40 C1 D7 D7 D3 C9 C3 C1 E3 C9 D6 D5 40 D5 C1 D4 C5 7A 40
state SscpLu
row 1 "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@"
row 2 "ENTER APPLICATION NAME: "
cursor 104                    # where the output left it
type "LOGON APPLID(CICS)"
key 7D
sent 07 00 00 00 01 D3 D6 C7 D6 D5 40 C1 D7 D7 D3 C9 C4 4D C3 C9 C3 E2 5D  # the input only
push 07 00 00 00 02 F5 C3 E4 E2 E2 40 6E 40  # an SSCP Erase/Write: input starts after it
cursor 6
type "X"
push 07 00 00 00 03 F6
sent 07 00 00 00 03 E7
)s"},
    {"TypingAsAnOperator", R"(
mode p
push F5 C2 1D 40 11 40 C4 1D F0 11 40 C7 1D 50 11 40 4B 1D 60 11 40 4E 1D 40 11 40 C1 13
cursor 1
type "ABC"
at 0 "|ABC|"
fa 0 01                       # MDT set
cursor 8                      # the field at 4 is autoskip: on to the next unprotected one
type "12.-" "position 1,12 is protected"
at 7 "|12.|"
cursor 11                     # the next field is not autoskip: onto its attribute
move 8
type "9A" "numeric field at 1,10 takes only 0-9 . -"
at 8 "92."
move 12
type "Z" "position 1,13 is protected"
move 15
type "é" "character 0xC3 cannot be sent to the host"
type "a~|"
at 15 "a~|"
key 7D
sent 7D 40 D2 11 40 C1 C1 C2 C3 11 40 C8 F9 F2 4B 11 40 4F 81 A1 4F
move 1919
type "XY" "position 1,1 is protected"
at 1919 "X"
at 0 "|"                      # past the end into the attribute at 0
cursor 0
push F5 C2
move 1919
type "PQ"                     # unformatted: on round the screen
at 0 "Q"
cursor 1
)"},
    {"TypingOverALineDrawingCharacter", R"(
mode p
push F5 C2 1D 40 08 A2 08 A2 13
move 1
type "A"
key 7D
sent 7D 40 C2 11 40 C1 C1 08 A2  # the typed character, not the graphic escape it replaced
)"},
    // ---- Structured fields ---------------------------------------------------
    {"QueryReply", R"(
mode p
push F3 00 05 01 FF 02
sent )" QUERY_REPLY R"(
mode e
push 00 00 02 00 2A F3 00 05 01 FF 02
sent 02 00 00 00 2A 00
sent 00 00 00 00 2A )" QUERY_REPLY R"(
)"},
    {"StructuredFieldErrors", R"(
mode p
fail "WSF-RP not a query op" F3 00 05 01 FF 04
fail "WSF-RP query list without request type" F3 00 05 01 FF 03
fail "WSF-RP invalid query list request type 1" F3 00 07 01 FF 03 01 86
fail "WSF-RP invalid PID" F3 00 05 01 00 02
fail "WSF-RP too small" F3 00 04 01 FF
fail "WSF too small" F3 00 05
fail "unsupported WFS ID: 15" F3 00 05 0F 00 00
fail "WSF-OBDS too small" F3 00 04 40 00
fail "WSF-OBDS invalid PID" F3 00 06 40 01 F5 C2
fail "WSF-OBDS unsupported" F3 00 06 40 00 F2 C2
fail "WSF-RP too small" F3 00 00 01 FF 02          # length 0 never loops
fail "WSF-OBDS too small" F3 00 00 40 00 F5
fail "unsupported WFS ID: 129" F3 00 00 81
fail "WSF-RP length exceeds record" F3 00 05 01 FF
fail "WSF-RP length exceeds record" F3 00 07 01 FF 02 00
fail "WSF-OBDS length exceeds record" F3 00 05 01 FF 02 00 09 40 00 F5 C2 C1
sent )" QUERY_REPLY R"(         # the field before the bad one was answered
updated 1
fail "WSF-OBDS length exceeds record" F3 00 07 40 00 F5 C2 C1 00 09 40 00 F1 C2 C2
at 0 "A."                       # ... or applied, and the screen published
updated 1
fail "WSF too small" F3 00 05 01 FF 02 00 05
sent )" QUERY_REPLY R"(
)"},
    {"Outbound3270DS", R"(
mode p
push F3 00 08 40 00 F5 C2 C1 C2
at 0 "AB"
aid 60
status ""
push F3 00 05 01 FF 02 00 07 40 00 F1 C2 C3
sent )" QUERY_REPLY R"(
at 0 "ABC"
push F3 00 0D 40 00 F5 C2 1D 40 C1 C2 C3 1D 60 00 05 40 00 6F
at 0 "|...|"                   # Erase All Unprotected needs no WCC
cursor 1
push F3 00 06 40 00 F5 40
status ""                      # not set to "SYSTEM", and the WCC did not restore
push F3 27 0C 40 00 F5 C2 C1*9990
count A 1920                   # a write as long as the record is applied whole
cursor 390
)"},
};

class StreamScripts : public ::testing::TestWithParam<Script> {};

TEST_P(StreamScripts, Run)
{
    StreamHarness h;
    h.Run(GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Records, StreamScripts, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
