// The punch store as an Excel workbook (.xlsx, written by libxlsxwriter), for
// a clerk who opens it: one sheet "daily" with the payroll's summary, then
// one sheet a clock with its records. Cells are typed as what they hold: a
// card number is text (its leading zeros kept), a date is a date and a time
// a time (numbers with a format), so the sheet sorts and sums them.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "export.h"

namespace collect {

// A sheet name Excel takes, from `wanted` and unlike every name in `taken`
// (compared without case; the new name is added): none of []:*?/\ (each
// becomes "_"), no ' at either end, at most 31 characters (the end of a
// long name is kept: the end of a path or URL tells clocks apart), and
// " (2)", " (3)" ... added when the name is taken.
std::string SheetName(const std::string& wanted, std::set<std::string>& taken);

// Writes the records `request` takes to the workbook `path`, replacing a
// file there only once the workbook is whole (ExportFile). Returns the
// number of records written. Raises std::runtime_error naming the file when
// it cannot be written.
std::int64_t ExportWorkbook(PunchStore& store, const ExportRequest& request, const std::string& path);

}  // namespace collect
