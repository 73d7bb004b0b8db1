// Screen geometry of the 3270 display models: the default size every model
// has (24x80), the alternate size of models 2 to 5, and the limits of an
// oversize alternate. One place for the sizes, so that every conversion
// between positions, rows and columns follows the screen actually in use.
#pragma once

#include <cstdint>
#include <optional>

struct TScreenSize {
    std::int32_t Rows = 24;
    std::int32_t Cols = 80;
    constexpr std::int32_t Positions() const { return Rows * Cols; }
    constexpr bool operator==(const TScreenSize&) const = default;
    // Both dimensions at most other's: the size fits a screen of that size.
    constexpr bool FitsIn(const TScreenSize& other) const { return Rows <= other.Rows && Cols <= other.Cols; }
};

// The default size of every model.
inline constexpr TScreenSize kDefaultScreenSize{24, 80};
inline constexpr std::int32_t kMinModel = 2;
inline constexpr std::int32_t kMaxModel = 5;
inline constexpr std::int32_t kDefaultModel = 2;
// An oversize alternate: at least the model's rows and columns, at most
// these (a 14-bit buffer address reaches 16,383).
inline constexpr std::int32_t kMaxScreenRows = 255;
inline constexpr std::int32_t kMaxScreenCols = 255;
inline constexpr std::int32_t kMaxScreenPositions = 16383;
// Screens of more positions than the 12-bit address form carries are
// addressed in the 14-bit form.
inline constexpr std::int32_t kMax12BitPositions = 4096;

// Alternate size of a model 2 to 5 (24x80, 32x80, 43x80, 27x132); nothing
// for another number.
constexpr std::optional<TScreenSize> ModelAlternateSize(std::int32_t model)
{
    switch (model) {
    case 2: return TScreenSize{24, 80};
    case 3: return TScreenSize{32, 80};
    case 4: return TScreenSize{43, 80};
    case 5: return TScreenSize{27, 132};
    default: return std::nullopt;
    }
}

// Whether size may be the oversize alternate of the model: not smaller than
// the model's alternate in either dimension, within the limits above.
constexpr bool ValidOversize(std::int32_t model, const TScreenSize& size)
{
    const auto alt = ModelAlternateSize(model);
    return alt && alt->FitsIn(size) && size.Rows <= kMaxScreenRows && size.Cols <= kMaxScreenCols &&
           size.Positions() <= kMaxScreenPositions;
}
