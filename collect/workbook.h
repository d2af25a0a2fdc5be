// Punches as an Excel workbook (.xlsx, written by libxlsxwriter), for a
// clerk who opens it: one sheet "daily" with the payroll's summary, then
// one sheet a clock with its records. Cells are typed as what they hold: a
// card number is text (its leading zeros kept), a date is a date and a time
// a time (numbers with a format), so the sheet sorts and sums them. Every
// sheet shows the Solar Hijri date beside the Gregorian one, keeps its
// header row in view while it scrolls, and has columns wide enough for what
// they hold. The punch store and the central database write through the
// same WorkbookWriter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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

// A clock as people know its port: "COM7 clock 1", a converter's host and
// port ("127.0.0.1 4001 clock 3" for socket://127.0.0.1:4001), a device by
// its name under /dev ("ttyUSB0 clock 1").
std::string ClockSheetName(const std::string& port, int number);

// A workbook written whole beside `path` and put in its place by Commit()
// (ExportFile): one given up leaves the file that was there as it was.
// Raises std::runtime_error naming the file when it cannot be written.
class WorkbookWriter {
public:
    explicit WorkbookWriter(const std::string& path);
    ~WorkbookWriter();
    WorkbookWriter(const WorkbookWriter&) = delete;
    WorkbookWriter& operator=(const WorkbookWriter&) = delete;

    // Adds `record` to the sheet of the clock `key`, named from `sheet` the
    // first time (a clock with more rows than a sheet holds goes on in a
    // sheet of the same name with " (2)" added).
    void Record(const std::string& key, const std::string& sheet, const RecordRow& record);
    // Adds a row to the sheet "daily".
    void Day(const std::string& site, const DailyRow& row);
    void Commit();

private:
    struct Book;
    std::unique_ptr<ExportFile> m_file;
    std::unique_ptr<Book> m_book;
};

// Writes the records `request` takes to the workbook `path`, replacing a
// file there only once the workbook is whole (ExportFile). Returns the
// number of records written. Raises std::runtime_error naming the file when
// it cannot be written.
std::int64_t ExportWorkbook(PunchStore& store, const ExportRequest& request, const std::string& path);

}  // namespace collect
