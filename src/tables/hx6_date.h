// ThxDBFDate: the engine-wide date converter.
//
// The engine holds a date as a Julian day number in a 32-bit integer:
// 1 January 1980 is day 2444240 and 0 is the empty date. In a record a date
// is the eight characters "yyyymmdd" (eight spaces when empty). The platform
// counts days from 30 December 1899, which is Julian day 2415019.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class ThxDBFDate {
 public:
  // Julian day of the platform's day 0 (30 December 1899).
  static constexpr int32_t kPlatformDayZero = 2415019;
  // Julian day of 1 January 1980.
  static constexpr int32_t kDay1980 = 2444240;

  // Difference between a Julian day and the platform's day count.
  int32_t JulianOffset() const { return julianOffset_; }
  // Four-digit years on display; always set.
  bool Century() const { return century_; }

  // "yyyymmdd" (trailing blanks ignored) or a date in the locale's short
  // format to a day number. Text of blanks and zeros only ("", "00000000",
  // "       0") is 0, the empty date; eight digits naming no calendar day give
  // 2415019 (30 December 1899, the platform's day 0). Text in neither form
  // raises EConvertError.
  int32_t ToJulian(std::string_view text) const;
  // "yyyymmdd"; eight spaces for day <= 0 and for days outside the years 1-9999.
  std::string ToText(int32_t day) const;
  // The day in the locale's short date format widened to a four-digit year;
  // spaces (as many as the format has characters) for day <= 0 and for the
  // platform's day 0 (2415019), which a date that does not exist reads as.
  std::string ToDisplay(int32_t day) const;
  // The display format: the locale's short date format upper-cased, its year
  // widened to "YYYY".
  const std::string& DisplayFormat() const;
  int32_t Today() const;
  // 1 Sunday .. 7 Saturday; 0 for day <= 0.
  int DayOfWeek(int32_t day) const;
  // Calendar date of a day number; all 0 for day <= 0.
  void Decode(int32_t day, int& year, int& month, int& dayOfMonth) const;
  // Day number of a calendar date; false when the date does not exist.
  static bool Encode(int year, int month, int dayOfMonth, int32_t& day);

  // The locale's short date format ("MM/dd/yy").
  const std::string& ShortFormat() const;

 private:
  // The host locale is read once; VELUPDATE_SHORTDATE is looked at on every
  // use (it is cheap) so a changed setting takes effect at once.
  void Refresh() const;

  int32_t julianOffset_ = kPlatformDayZero;
  bool century_ = true;
  mutable bool cached_ = false;
  mutable bool cachedEnvSet_ = false;
  mutable std::string cachedEnv_;
  mutable std::string shortFormat_;
  mutable std::string displayFormat_;
};

// The engine-wide converter: made when the engine starts (or on first use)
// and freed when the engine ends.
ThxDBFDate& DBFDate();
