#include "workbook.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <vector>

#include "clocklink/clocklink.h"
#include "exportdates.h"
#include "utils/utf8path.h"

namespace collect {
namespace {

// An Excel sheet holds 1,048,576 rows; the header takes one. A clock with
// more records goes on in a sheet of the same name with " (2)" added.
constexpr lxw_row_t kRowsPerSheet = 1048575;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The UTF-8 characters of `text`, each as its bytes.
std::vector<std::string> Characters(const std::string& text)
{
    std::vector<std::string> characters;
    for (unsigned char c : text)
        if ((c & 0xC0) == 0x80 && !characters.empty())
            characters.back() += static_cast<char>(c);
        else
            characters.emplace_back(1, static_cast<char>(c));
    return characters;
}

// At most `count` characters of `text`, its end kept.
std::string LastCharacters(const std::string& text, std::size_t count)
{
    const std::vector<std::string> characters = Characters(text);
    std::string kept;
    for (std::size_t i = characters.size() > count ? characters.size() - count : 0; i < characters.size();
         ++i)
        kept += characters[i];
    return kept;
}

// The columns of a clock's sheet and of the daily sheet, with their widths
// in characters: Excel's default (8.43) shows a date as "###".
struct Column {
    const char* name;
    double width;
};
constexpr Column kRecordColumns[] = {{"site", 18},        {"record", 9},   {"port", 26}, {"bus", 6},
                                     {"clock", 6},        {"position", 9}, {"card", 13}, {"date", 12},
                                     {"solar_date", 12},  {"time", 7},     {"type", 6},  {"flagged", 8},
                                     {"collected_at", 27}};
constexpr Column kDailyColumns[] = {{"site", 18}, {"card", 13}, {"day", 12},   {"solar_day", 12},
                                    {"first", 7}, {"last", 7},  {"punches", 9}};

class Workbook {
public:
    // Written at `path`; messages name the file as `shown`.
    Workbook(const std::string& path, const std::string& shown) : m_path(shown)
    {
        // Rows go to temporary files as they are written, so a store of
        // millions of records does not need its workbook in memory.
        m_tmpdir = Utf8FromPath(std::filesystem::temp_directory_path());
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE;
        options.tmpdir = m_tmpdir.data();
        m_book = workbook_new_opt(path.c_str(), &options);
        if (m_book == nullptr) throw std::runtime_error("cannot create " + shown);
        // Dates and times centred, so the Gregorian and the Solar day
        // side by side do not run into each other.
        m_date = workbook_add_format(m_book);
        format_set_num_format(m_date, "yyyy-mm-dd");
        format_set_align(m_date, LXW_ALIGN_CENTER);
        // Short codes and numbers centred too, off the text beside them.
        m_centred = workbook_add_format(m_book);
        format_set_align(m_centred, LXW_ALIGN_CENTER);
        m_time = workbook_add_format(m_book);
        format_set_num_format(m_time, "hh:mm");
        format_set_align(m_time, LXW_ALIGN_CENTER);
        m_header = workbook_add_format(m_book);
        format_set_bold(m_header);
        format_set_align(m_header, LXW_ALIGN_CENTER);
        m_taken.insert("history");  // Excel keeps this name for itself
    }
    // A workbook given up half-way (the store failed) is written to its
    // temporary file, which the ExportFile then removes.
    ~Workbook()
    {
        if (m_book != nullptr) workbook_close(m_book);
    }
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    template <std::size_t N>
    lxw_worksheet* AddSheet(const std::string& wanted, const Column (&columns)[N])
    {
        lxw_worksheet* sheet = workbook_add_worksheet(m_book, SheetName(wanted, m_taken).c_str());
        if (sheet == nullptr) throw std::runtime_error("cannot add a sheet to " + m_path);
        for (std::size_t column = 0; column < N; ++column) {
            const auto at = static_cast<lxw_col_t>(column);
            worksheet_set_column(sheet, at, at, columns[column].width, nullptr);
            worksheet_write_string(sheet, 0, at, columns[column].name, m_header);
        }
        worksheet_freeze_panes(sheet, 1, 0);
        // Printed, each page is as wide as the sheet, names the sheet and
        // starts with the header row.
        worksheet_set_landscape(sheet);
        worksheet_set_header(sheet, "&L&A&R&P / &N");
        worksheet_fit_to_pages(sheet, 1, 0);
        worksheet_repeat_rows(sheet, 0, 0);
        return sheet;
    }

    void Text(lxw_worksheet* sheet, lxw_row_t row, lxw_col_t column, const std::string& text,
              bool centred = false)
    {
        if (!text.empty())
            worksheet_write_string(sheet, row, column, text.c_str(), centred ? m_centred : nullptr);
    }
    void Number(lxw_worksheet* sheet, lxw_row_t row, lxw_col_t column, double value)
    {
        worksheet_write_number(sheet, row, column, value, m_centred);
    }
    // yyyy-mm-dd as an Excel date.
    void Date(lxw_worksheet* sheet, lxw_row_t row, lxw_col_t column, const std::string& iso)
    {
        if (iso.size() != 10) return;
        lxw_datetime date{
            std::stoi(iso.substr(0, 4)), std::stoi(iso.substr(5, 2)), std::stoi(iso.substr(8, 2)), 0, 0, 0};
        worksheet_write_datetime(sheet, row, column, &date, m_date);
    }
    // hhmm or hh:mm as an Excel time, the fraction of a day; nothing when it
    // is no time.
    void Time(lxw_worksheet* sheet, lxw_row_t row, lxw_col_t column, const std::string& hhmm)
    {
        const std::string digits = hhmm.size() == 5 ? hhmm.substr(0, 2) + hhmm.substr(3, 2) : hhmm;
        if (digits.size() != 4 || digits.find_first_not_of("0123456789") != std::string::npos) return;
        const int hour = std::stoi(digits.substr(0, 2)), minute = std::stoi(digits.substr(2, 2));
        if (hour > 23 || minute > 59) {
            Text(sheet, row, column, hhmm);
            return;
        }
        worksheet_write_number(sheet, row, column, (hour * 60 + minute) / 1440.0, m_time);
    }

    void Close()
    {
        const lxw_error error = workbook_close(m_book);
        m_book = nullptr;
        if (error != LXW_NO_ERROR)
            throw std::runtime_error("cannot write " + m_path + ": " + lxw_strerror(error));
    }

private:
    std::string m_path, m_tmpdir;
    lxw_workbook* m_book = nullptr;
    lxw_format *m_date = nullptr, *m_centred = nullptr, *m_time = nullptr, *m_header = nullptr;
    std::set<std::string> m_taken;
};

struct ClockSheet {
    lxw_worksheet* sheet = nullptr;
    lxw_row_t rows = 0;
    std::string name;
};

}  // namespace

std::string SheetName(const std::string& wanted, std::set<std::string>& taken)
{
    std::string name;
    for (char c : wanted) name += std::string("[]:*?/\\").find(c) == std::string::npos ? c : '_';
    while (!name.empty() && name.front() == '\'') name.erase(0, 1);
    while (!name.empty() && name.back() == '\'') name.pop_back();
    if (name.empty()) name = "clock";
    std::string candidate = LastCharacters(name, 31);
    for (int n = 2; taken.count(Lower(candidate)) > 0; ++n) {
        const std::string suffix = " (" + std::to_string(n) + ")";
        candidate = LastCharacters(name, 31 - suffix.size()) + suffix;
    }
    taken.insert(Lower(candidate));
    return candidate;
}

std::string ClockSheetName(const std::string& port, int number)
{
    std::string name = port;
    if (const std::size_t scheme = port.find("://"); scheme != std::string::npos) {
        // A converter: its host and TCP port, as its settings page shows them.
        name = port.substr(scheme + 3);
        while (!name.empty() && name.back() == '/') name.pop_back();
        if (const std::size_t colon = name.rfind(':');
            colon != std::string::npos && name.find(']', colon) == std::string::npos)
            name = name.substr(0, colon) + " " + name.substr(colon + 1);
        if (name.starts_with("[")) name.erase(0, 1);
        if (const std::size_t bracket = name.find(']'); bracket != std::string::npos) name.erase(bracket, 1);
    } else if (port.starts_with("/dev/")) {
        name = port.substr(5);
        std::replace(name.begin(), name.end(), '/', ' ');
    } else if (port.starts_with("\\\\.\\")) {
        name = port.substr(4);
    } else if (const std::size_t slash = port.find_last_of("/\\"); slash != std::string::npos) {
        name = port.substr(slash + 1);
    }
    return name + " clock " + std::to_string(number);
}

struct WorkbookWriter::Book {
    Book(const std::string& path, const std::string& shown) : book(path, shown)
    {
        daily.sheet = book.AddSheet("daily", kDailyColumns);
    }
    Workbook book;
    ClockSheet daily;
    std::map<std::string, ClockSheet> clocks;
};

WorkbookWriter::WorkbookWriter(const std::string& path)
    : m_file(std::make_unique<ExportFile>(path)), m_book(std::make_unique<Book>(m_file->Path(), path))
{
}

// The workbook is closed before its ExportFile removes what was not committed.
WorkbookWriter::~WorkbookWriter() { m_book.reset(); }

void WorkbookWriter::Record(const std::string& key, const std::string& sheet, const RecordRow& record)
{
    Workbook& book = m_book->book;
    ClockSheet& at = m_book->clocks[key];
    if (at.sheet == nullptr || at.rows == kRowsPerSheet) {
        if (at.name.empty()) at.name = sheet;
        at.sheet = book.AddSheet(at.name, kRecordColumns);
        at.rows = 0;
    }
    const lxw_row_t row = ++at.rows;
    book.Text(at.sheet, row, 0, record.site);
    if (record.record) book.Number(at.sheet, row, 1, static_cast<double>(*record.record));
    book.Text(at.sheet, row, 2, record.port);
    book.Text(at.sheet, row, 3, record.rs232 ? "rs232" : "rs485", true);
    book.Number(at.sheet, row, 4, record.clock);
    book.Number(at.sheet, row, 5, static_cast<double>(record.position));
    book.Text(at.sheet, row, 6, record.card, true);
    book.Date(at.sheet, row, 7, record.iso);
    // Solar Hijri as text: Excel has no such calendar.
    book.Text(at.sheet, row, 8, record.solar, true);
    book.Time(at.sheet, row, 9, record.time);
    book.Text(at.sheet, row, 10, record.type, true);
    book.Number(at.sheet, row, 11, record.flagged ? 1 : 0);
    book.Text(at.sheet, row, 12, record.collectedAt);
}

void WorkbookWriter::Day(const std::string& site, const DailyRow& day)
{
    Workbook& book = m_book->book;
    ClockSheet& daily = m_book->daily;
    if (daily.rows == kRowsPerSheet) {
        daily.sheet = book.AddSheet("daily", kDailyColumns);
        daily.rows = 0;
    }
    const lxw_row_t row = ++daily.rows;
    book.Text(daily.sheet, row, 0, site);
    book.Text(daily.sheet, row, 1, day.card, true);
    book.Date(daily.sheet, row, 2, day.day);
    book.Text(daily.sheet, row, 3, SolarOfIso(day.day), true);
    book.Time(daily.sheet, row, 4, day.first);
    book.Time(daily.sheet, row, 5, day.last);
    book.Number(daily.sheet, row, 6, static_cast<double>(day.punches));
}

void WorkbookWriter::Commit()
{
    m_book->book.Close();
    m_file->Commit();
}

std::int64_t ExportWorkbook(PunchStore& store, const ExportRequest& request, const std::string& path)
{
    // A clock's sheet is named after the port it was last collected under
    // and its number.
    std::map<std::int64_t, std::string> clockNames;
    for (const ClockSummary& summary : store.Clocks())
        clockNames[summary.clock.id] = ClockSheetName(summary.clock.port, summary.clock.number);

    WorkbookWriter book(path);
    const std::string site = store.SiteName();
    DailySummary summary;
    std::int64_t written = 0;
    ForEachRequested(store, request, [&](const StoredRecord& record, const std::optional<RecordDate>& date) {
        summary.Add(record, date);
        book.Record(std::to_string(record.clockId), clockNames[record.clockId], RowOf(record, date, site));
        ++written;
    });
    for (const auto& [key, day] : summary.Rows()) book.Day(site, day);
    book.Commit();
    return written;
}

}  // namespace collect
