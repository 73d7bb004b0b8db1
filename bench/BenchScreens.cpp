// Benchmark screens. The texts are made up but shaped like the screens of
// an order-entry application, so that the byte mix (orders, attribute
// changes, runs of text, blanks) is the one a host produces.
#include "bench/BenchScreens.h"

#include "sim/uSim3270Decoder.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uSimTelnet.h"

#include <cstdio>
#include <string>

namespace tnbench {

using namespace tnsim;

Bytes RealisticScreen()
{
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore | wcc::ResetMdt);
    // Title line.
    e.FieldX(1, 1, fa::Protected | fa::Intensified, Colour::White, Highlight::Default, "ORDX01");
    e.FieldX(1, 24, fa::Protected | fa::Intensified, Colour::Yellow, Highlight::Default,
             "ORDER ENTRY - CUSTOMER ORDER DETAIL");
    e.Field(1, 64, fa::Protected, "DATE 07/12/26");
    // The form: label, input, and a stopper after the input.
    struct Row {
        int row;
        const char* label;
        const char* value;
        int width;
        std::uint8_t extra;
        Colour colour;
    };
    const Row form[] = {
        {3, "CUSTOMER NUMBER . . :", "00471156", 8, fa::Numeric, Colour::Green},
        {4, "CUSTOMER NAME . . . :", "HARTMANN INDUSTRIAL SUPPLY", 30, 0, Colour::Default},
        {5, "ORDER REFERENCE . . :", "PO-2026-118734", 20, 0, Colour::Default},
        {6, "DELIVERY DATE . . . :", "15/12/26", 8, fa::Numeric, Colour::Turquoise},
    };
    for (const auto& f : form) {
        e.Field(f.row, 2, fa::Protected, f.label);
        if (f.colour == Colour::Default)
            e.Field(f.row, 24, static_cast<std::uint8_t>(fa::Unprotected | f.extra), f.value);
        else
            e.FieldX(f.row, 24, static_cast<std::uint8_t>(fa::Unprotected | f.extra), f.colour, Highlight::Underscore,
                     f.value);
        e.Field(f.row, 25 + f.width, fa::Skip);
    }
    e.SBA(3, 25).IC();
    // The table: one protected field over the data lines; every line is
    // addressed, the status column is coloured.
    e.FieldX(8, 1, fa::Protected | fa::Intensified, Colour::Turquoise, Highlight::Default,
             " LN ITEM       DESCRIPTION                      QTY  UNIT     PRICE   ST");
    static const char* const kItems[] = {
        "AX-1004-B  HEX BOLT M12X80 ZINC PLATED       250  EA      0.42   ",
        "AX-1010-C  WASHER FLAT M12 DIN125            500  EA      0.06   ",
        "BR-2200-A  BEARING 6204-2RS SEALED            40  EA      3.85   ",
        "CH-3301-D  ROLLER CHAIN 08B-1 5M               6  RL     48.90   ",
        "GS-4410-A  GASKET SHEET 1.5MM 1000X1500        2  SH     61.20   ",
        "HY-5120-F  HYDRAULIC HOSE 1/2IN 2SN 10M        3  RL    112.75   ",
        "MT-6031-B  MOTOR 1.5KW 4P B3 IE3               1  EA    289.00   ",
        "PL-7002-A  PILLOW BLOCK UCP205                 8  EA     14.30   ",
        "SK-8120-C  SPROCKET 08B 19T BORE 20            4  EA     22.15   ",
        "VB-9015-A  V-BELT SPA 1250 LW                 12  EA      9.80   ",
    };
    int line = 9;
    for (const char* item : kItems) {
        char text[96];
        std::snprintf(text, sizeof text, " %02d %s", line - 8, item);
        e.At(line, 2, text);
        e.SAColour(line % 3 == 0 ? Colour::Red : Colour::Green).Text("OK").SAReset();
        ++line;
    }
    // Message line, command line, PF key legend.
    e.FieldX(21, 1, fa::Protected | fa::Intensified, Colour::Red, Highlight::Default,
             "ORDER HAS 10 LINES - PRESS PF5 TO CONFIRM OR PF12 TO CANCEL");
    e.Field(22, 1, fa::Protected, "COMMAND ===>");
    e.FieldX(22, 14, fa::Unprotected, Colour::Green, Highlight::Underscore, "");
    e.Field(22, 80, fa::Skip);
    e.FieldX(24, 1, fa::Protected, Colour::Blue, Highlight::Default,
             "PF1=HELP  PF3=EXIT  PF5=CONFIRM  PF7=UP  PF8=DOWN  PF12=CANCEL");
    return e.Take();
}

Bytes RealisticWideScreen()
{
    TSim3270Encoder e(TSim3270Encoder::AddressMode::Bits12, kWideRows, kWideCols);
    e.EraseWriteAlternate(wcc::Restore | wcc::ResetMdt);
    // Title line; command and scroll fields below it.
    e.FieldX(1, 1, fa::Protected | fa::Intensified, Colour::White, Highlight::Default, "ORDX02");
    e.Field(1, 12, fa::Protected, "SYSTEM PRD1");
    e.FieldX(1, 40, fa::Protected | fa::Intensified, Colour::Yellow, Highlight::Default,
             "ORDER ENTRY - CUSTOMER ORDER DETAIL AND DELIVERY SCHEDULE");
    e.Field(1, 106, fa::Protected, "DATE 07/12/26  TIME 14:32");
    e.Field(2, 1, fa::Protected, "COMMAND ===>");
    e.FieldX(2, 14, fa::Unprotected, Colour::Green, Highlight::Underscore, "");
    e.Field(2, 100, fa::Skip);
    e.Field(2, 106, fa::Protected, "SCROLL ===>");
    e.FieldX(2, 118, fa::Unprotected, Colour::Green, Highlight::Underscore, "CSR");
    e.Field(2, 123, fa::Skip);
    // The form in two columns, each under its heading.
    e.FieldX(3, 2, fa::Protected | fa::Intensified, Colour::Turquoise, Highlight::Default, "CUSTOMER");
    e.FieldX(3, 68, fa::Protected | fa::Intensified, Colour::Turquoise, Highlight::Default, "DELIVERY");
    struct Pair {
        int row;
        int col;
        const char* label;
        const char* value;
        int width;
        std::uint8_t extra;
        Colour colour;
    };
    const Pair form[] = {
        {4, 2, "CUSTOMER NUMBER . . :", "00471156", 8, fa::Numeric, Colour::Green},
        {5, 2, "CUSTOMER NAME . . . :", "HARTMANN INDUSTRIAL SUPPLY", 30, 0, Colour::Default},
        {6, 2, "ORDER REFERENCE . . :", "PO-2026-118734", 20, 0, Colour::Default},
        {7, 2, "DELIVERY DATE . . . :", "15/12/26", 8, fa::Numeric, Colour::Turquoise},
        {4, 68, "SHIP TO . . . . . . :", "WAREHOUSE 3, DOCK B", 30, 0, Colour::Default},
        {5, 68, "CARRIER . . . . . . :", "NORDFRACHT", 16, 0, Colour::Default},
        {6, 68, "PRIORITY  . . . . . :", "2", 1, fa::Numeric, Colour::Turquoise},
    };
    for (const auto& f : form) {
        e.Field(f.row, f.col, fa::Protected, f.label);
        if (f.colour == Colour::Default)
            e.Field(f.row, f.col + 22, static_cast<std::uint8_t>(fa::Unprotected | f.extra), f.value);
        else
            e.FieldX(f.row, f.col + 22, static_cast<std::uint8_t>(fa::Unprotected | f.extra), f.colour,
                     Highlight::Underscore, f.value);
        e.Field(f.row, f.col + 23 + f.width, fa::Skip);
    }
    e.SBA(4, 25).IC();
    // The table: one protected field over the data lines, each addressed,
    // with its status column coloured.
    e.FieldX(9, 1, fa::Protected | fa::Intensified, Colour::Turquoise, Highlight::Default,
             " LN ITEM       DESCRIPTION                               QTY  UNIT     PRICE       VALUE  WHSE  "
             "DUE       ST");
    static const char* const kItems[] = {
        "AX-1004-B  HEX BOLT M12X80 ZINC PLATED DIN933         250  EA      0.42      105.00  W3    15/12/26  ",
        "AX-1010-C  WASHER FLAT M12 DIN125 ZINC                500  EA      0.06       30.00  W3    15/12/26  ",
        "BR-2200-A  BEARING 6204-2RS SEALED DEEP GROOVE         40  EA      3.85      154.00  W1    15/12/26  ",
        "CH-3301-D  ROLLER CHAIN 08B-1 SIMPLEX 5M                6  RL     48.90      293.40  W1    18/12/26  ",
        "GS-4410-A  GASKET SHEET 1.5MM 1000X1500 NBR             2  SH     61.20      122.40  W2    15/12/26  ",
        "HY-5120-F  HYDRAULIC HOSE 1/2IN 2SN 10M CRIMPED         3  RL    112.75      338.25  W2    20/12/26  ",
        "MT-6031-B  MOTOR 1.5KW 4P B3 IE3 400V                   1  EA    289.00      289.00  W1    22/12/26  ",
        "PL-7002-A  PILLOW BLOCK UCP205 CAST IRON                8  EA     14.30      114.40  W3    15/12/26  ",
        "SK-8120-C  SPROCKET 08B 19T BORE 20 KEYWAY              4  EA     22.15       88.60  W3    15/12/26  ",
        "VB-9015-A  V-BELT SPA 1250 LW WRAPPED                  12  EA      9.80      117.60  W2    15/12/26  ",
        "CP-1120-B  COUPLING JAW L100 28MM BORE                  2  EA     31.40       62.80  W1    18/12/26  ",
        "OR-2231-A  O-RING KIT NBR70 382 PIECES                  1  KT     44.90       44.90  W2    15/12/26  ",
        "LB-3342-C  LUBRICANT EP2 GREASE CARTRIDGE 400G         24  EA      5.65      135.60  W2    15/12/26  ",
        "FT-4453-A  FILTER ELEMENT 10 MICRON HF6554              6  EA     18.25      109.50  W1    20/12/26  ",
    };
    int line = 10;
    for (const char* item : kItems) {
        char text[160];
        std::snprintf(text, sizeof text, " %02d %s", line - 9, item);
        e.At(line, 2, text);
        e.SAColour(line % 3 == 0 ? Colour::Red : Colour::Green).Text("OK").SAReset();
        ++line;
    }
    // Totals, message, PF key legend.
    e.Field(25, 2, fa::Protected | fa::Intensified, "LINES 14");
    e.Field(25, 40, fa::Protected | fa::Intensified, "TOTAL QUANTITY 859");
    e.Field(25, 80, fa::Protected | fa::Intensified, "TOTAL VALUE 2,005.45 EUR");
    e.FieldX(26, 1, fa::Protected | fa::Intensified, Colour::Red, Highlight::Default,
             "ORDER HAS 14 LINES - PRESS PF5 TO CONFIRM OR PF12 TO CANCEL");
    e.FieldX(27, 1, fa::Protected, Colour::Blue, Highlight::Default,
             "PF1=HELP  PF3=EXIT  PF5=CONFIRM  PF7=UP  PF8=DOWN  PF10=LEFT  PF11=RIGHT  PF12=CANCEL");
    return e.Take();
}

Bytes BusyScreen()
{
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore | wcc::ResetMdt);
    static const Colour kColours[] = {Colour::Blue, Colour::Red, Colour::Pink, Colour::Green,
                                      Colour::Turquoise, Colour::Yellow, Colour::White};
    for (int row = 1; row <= 24; ++row) {
        for (int pair = 0; pair < 4; ++pair) {
            const int col = 1 + pair * 20;
            char label[16];
            std::snprintf(label, sizeof label, "R%02dF%d ..", row, pair);
            const int n = row * 4 + pair;
            if (n % 3 == 0)
                e.FieldX(row, col, fa::Protected, kColours[n % 7], Highlight::Default, label);
            else
                e.Field(row, col, fa::Protected, label);
            // Input field of 9 characters; every other one holds a value
            // with a highlighted part in the middle.
            const std::uint8_t attr = n % 5 == 0 ? fa::Unprotected | fa::Numeric : fa::Unprotected;
            if (n % 2 == 0) {
                e.FieldX(row, col + 10, attr, kColours[(n + 3) % 7], Highlight::Underscore, "AB");
                e.SAHighlight(Highlight::Reverse).Text("CDE").SAReset().Text("FG");
            } else {
                e.Field(row, col + 10, attr, "1234");
            }
        }
    }
    e.SBA(1, 12).IC();
    return e.Take();
}

Bytes FullScreenText()
{
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore);
    static const char kLine[] =
        "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXY";
    static_assert(sizeof kLine - 1 == kCols);
    for (int row = 0; row < kRows; ++row)
        e.Text(kLine);
    return e.Take();
}

Bytes ModifiedFormScreen(int count)
{
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore);
    e.FieldX(1, 1, fa::Protected | fa::Intensified, Colour::White, Highlight::Default, "CUSTOMER MAINTENANCE");
    for (int i = 0; i < count; ++i) {
        const int row = 3 + i * 2 % 20 + (i >= 10 ? 1 : 0);
        char label[32];
        std::snprintf(label, sizeof label, "FIELD %02d . . . :", i + 1);
        char value[32];
        std::snprintf(value, sizeof value, "VALUE %02d ABCDEFGH", i + 1);
        e.Field(row, 2, fa::Protected, label);
        e.Field(row, 22, fa::Unprotected | fa::Mdt, value);
        e.Field(row, 50, fa::Skip);
    }
    e.SBA(3, 23).IC();
    return e.Take();
}

Bytes FrameTn3270E(const Bytes& record3270, std::uint16_t seq)
{
    const auto header = EncodeTnHeader({dt::Data3270, 0x00, rf::NoResponse, seq});
    Bytes record(header.begin(), header.end());
    record.insert(record.end(), record3270.begin(), record3270.end());
    return TSimTelnet::Frame(record);
}

Bytes FramePlain(const Bytes& record3270)
{
    return TSimTelnet::Frame(record3270);
}

}  // namespace tnbench
