// The 3270 host field record the component publishes: a TDSField with
// Boolean views of its attribute bytes, a display colour, and a text setter
// that marks the record modified when the application changes the text.
#pragma once

#include "fields/uDSFields.h"

#include <cstdint>
#include <memory>
#include <string_view>

// 32-bit colour value $00BBGGRR: red in the low byte, green, blue, high byte 0.
using TColor = std::uint32_t;

class T3270Field : public TDSField {
public:
    // Field attribute bits (Attr).
    static constexpr std::uint8_t kAttrProtected = 0x20;
    static constexpr std::uint8_t kAttrNumeric = 0x10;
    static constexpr std::uint8_t kAttrDisplayMask = 0x0C;
    static constexpr std::uint8_t kAttrIntensified = 0x08;
    static constexpr std::uint8_t kAttrModified = 0x01;
    // Extended attribute bits (Eab).
    static constexpr std::uint8_t kEabReverse = 0x80;
    static constexpr std::uint8_t kEabBlink = 0x40;
    static constexpr std::uint8_t kEabColorMask = 0x38;
    static constexpr std::uint8_t kEabUnderscore = 0x04;
    static constexpr std::uint8_t kEabValidation = 0x02;

    static constexpr TColor kBlack = 0x00000000;
    static constexpr TColor kBlue = 0x00FF0000;
    static constexpr TColor kRed = 0x000000FF;
    static constexpr TColor kFuchsia = 0x00FF00FF;
    static constexpr TColor kGreen = 0x00008000;
    static constexpr TColor kAqua = 0x00FFFF00;
    static constexpr TColor kYellow = 0x0000FFFF;
    static constexpr TColor kWhite = 0x00FFFFFF;

    T3270Field() = default;
    ~T3270Field() override = default;

    // Stores the text; when it differs from Data byte for byte the record
    // becomes Modified. Storing the same text leaves Modified as it was.
    void SetData(std::string_view text) override;
    std::unique_ptr<TDSField> NewInstance() const override;

    // Display colour: with Eab 0 it follows the field (unprotected green or,
    // intensified, red; protected blue or, intensified, white); otherwise the
    // colour code of Eab alone decides, and code 0 (default) is black.
    virtual TColor GetColor() const;

    bool GetEditable() const { return (Attr & kAttrProtected) == 0; }
    bool GetNumeric() const { return (Attr & kAttrNumeric) != 0; }
    bool GetVisible() const { return (Attr & kAttrDisplayMask) != kAttrDisplayMask; }
    bool GetHigh() const { return GetVisible() && (Attr & kAttrIntensified) != 0; }
    bool GetModified() const { return (Attr & kAttrModified) != 0; }
    // Protected and numeric: the 3270 automatic-skip combination.
    bool GetSkip() const { return !GetEditable() && GetNumeric(); }
    bool GetReverse() const { return (Eab & kEabReverse) != 0; }
    bool GetBlinking() const { return (Eab & kEabBlink) != 0; }
    bool GetUnderline() const { return (Eab & kEabUnderscore) != 0; }
    bool GetMandatory() const { return (Eab & kEabValidation) != 0; }

    // true sets the modified data tag. false leaves Attr alone: a tag once
    // set stays until the next screen brings new records.
    void SetModified(bool value);
};

// The record as a 3270 field, or null when it is not one.
inline T3270Field* As3270Field(TDSField* field) { return dynamic_cast<T3270Field*>(field); }
inline const T3270Field* As3270Field(const TDSField* field) { return dynamic_cast<const T3270Field*>(field); }
