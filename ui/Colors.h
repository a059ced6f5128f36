// Colour values as the window's layout gives them: 0x00BBGGRR (blue in the high byte), with
// clNone for "no colour" and system colours marked by the high byte 0xFF.
#pragma once

#include <QColor>
#include <cstdint>

using TColor = uint32_t;

constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clBtnFace = 0xFF00000F;
constexpr TColor clBtnShadow = 0xFF000010;
constexpr TColor cl3DDkShadow = 0xFF000015;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clFuchsia = 0xFF00FF;

// The Qt colour of a colour value; system colours come from the application palette.
QColor ToQColor(TColor c);
// The colour value of an opaque Qt colour.
TColor FromQColor(const QColor& c);
