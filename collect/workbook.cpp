#include "workbook.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <vector>

#include "clocklink/clocklink.h"
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

// The clock sheets' columns; the daily sheet's are DailyRow's.
constexpr const char* kRecordColumns[] = {"record",   "port", "bus",     "clock",
                                          "position", "card", "date",    "solar_date",
                                          "time",     "type", "flagged", "collected_at"};
constexpr const char* kDailyColumns[] = {"site", "card", "day", "first", "last", "punches"};

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
        m_date = workbook_add_format(m_book);
        format_set_num_format(m_date, "yyyy-mm-dd");
        m_time = workbook_add_format(m_book);
        format_set_num_format(m_time, "hh:mm");
        m_header = workbook_add_format(m_book);
        format_set_bold(m_header);
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
    lxw_worksheet* AddSheet(const std::string& wanted, const char* const (&columns)[N])
    {
        lxw_worksheet* sheet = workbook_add_worksheet(m_book, SheetName(wanted, m_taken).c_str());
        if (sheet == nullptr) throw std::runtime_error("cannot add a sheet to " + m_path);
        for (std::size_t column = 0; column < N; ++column)
            worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(column), columns[column], m_header);
        worksheet_freeze_panes(sheet, 1, 0);
        return sheet;
    }

    void Text(lxw_worksheet* sheet, lxw_row_t row, lxw_col_t column, const std::string& text)
    {
        if (!text.empty()) worksheet_write_string(sheet, row, column, text.c_str(), nullptr);
    }
    void Number(lxw_worksheet* sheet, lxw_row_t row, lxw_col_t column, double value)
    {
        worksheet_write_number(sheet, row, column, value, nullptr);
    }
    // yyyy-mm-dd as an Excel date.
    void Date(lxw_worksheet* sheet, lxw_row_t row, lxw_col_t column, const std::string& iso)
    {
        if (iso.size() != 10) return;
        lxw_datetime date{
            std::stoi(iso.substr(0, 4)), std::stoi(iso.substr(5, 2)), std::stoi(iso.substr(8, 2)), 0, 0, 0};
        worksheet_write_datetime(sheet, row, column, &date, m_date);
    }
    // hhmm as an Excel time, the fraction of a day; nothing when it is no time.
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
    lxw_format *m_date = nullptr, *m_time = nullptr, *m_header = nullptr;
    std::set<std::string> m_taken;
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

std::int64_t ExportWorkbook(PunchStore& store, const ExportRequest& request, const std::string& path)
{
    // A clock's sheet is named after the port it was last collected under,
    // with its number on an RS-485 bus, where one port reaches many clocks.
    std::map<std::int64_t, std::string> clockNames;
    for (const ClockSummary& summary : store.Clocks())
        clockNames[summary.clock.id] =
            summary.clock.port +
            (summary.clock.rs232 ? "" : " clock " + std::to_string(summary.clock.number));

    ExportFile file(path);
    Workbook book(file.Path(), path);
    lxw_worksheet* daily = book.AddSheet("daily", kDailyColumns);
    struct ClockSheet {
        lxw_worksheet* sheet = nullptr;
        lxw_row_t rows = 0;
    };
    std::map<std::int64_t, ClockSheet> sheets;
    DailySummary summary;
    std::int64_t written = 0;
    ForEachRequested(store, request, [&](const StoredRecord& record, const std::optional<RecordDate>& date) {
        summary.Add(record, date);
        ClockSheet& at = sheets[record.clockId];
        if (at.sheet == nullptr || at.rows == kRowsPerSheet) {
            at.sheet = book.AddSheet(clockNames[record.clockId], kRecordColumns);
            at.rows = 0;
        }
        const lxw_row_t row = ++at.rows;
        const std::optional<DumpFields> fields = record.flagged ? std::nullopt : ParseDumpLine(record.line);
        book.Number(at.sheet, row, 0, static_cast<double>(record.id));
        book.Text(at.sheet, row, 1, record.port);
        book.Text(at.sheet, row, 2, record.rs232 ? "rs232" : "rs485");
        book.Number(at.sheet, row, 3, record.clock);
        book.Number(at.sheet, row, 4, static_cast<double>(record.serial % kRingSize));
        if (fields) {
            book.Text(at.sheet, row, 5, fields->card);
            book.Time(at.sheet, row, 8, fields->time);
            book.Text(at.sheet, row, 9, fields->type);
        }
        if (date) {
            book.Date(at.sheet, row, 6, date->iso);
            book.Text(at.sheet, row, 7, date->solar);
        }
        book.Number(at.sheet, row, 10, record.flagged ? 1 : 0);
        book.Text(at.sheet, row, 11, record.collectedAt);
        ++written;
    });
    lxw_row_t row = 0;
    const std::string site = store.SiteName();
    for (const auto& [key, day] : summary.Rows()) {
        if (row == kRowsPerSheet) {
            daily = book.AddSheet("daily", kDailyColumns);
            row = 0;
        }
        ++row;
        book.Text(daily, row, 0, site);
        book.Text(daily, row, 1, day.card);
        book.Date(daily, row, 2, day.day);
        book.Time(daily, row, 3, day.first);
        book.Time(daily, row, 4, day.last);
        book.Number(daily, row, 5, static_cast<double>(day.punches));
    }
    book.Close();
    file.Commit();
    return written;
}

}  // namespace collect
