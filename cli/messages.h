// The operator texts the operations show, as the command-line front end
// recognises them to choose its exit status. UTF-8, letter for letter as the
// window shows them.
#pragma once

#include <string_view>

namespace cli {
// Message box of a clock that does not answer (record counter 0).
inline constexpr std::string_view kCommunicationErrorText{"خطا در ارتباط "};
// Message box after six unusable record replies in a row.
inline constexpr std::string_view kRecordErrorText{"خطا در رکورد"};
// Error dialog when the clock's date cannot be read; the download goes on.
inline constexpr std::string_view kClockDateErrorText{"خطا در خواندن ساعت و تاريخ"};
// Error dialog for a negative record count.
inline constexpr std::string_view kCountInvalidText{"تعداد صحيح نمي باشد"};
// Error dialog for a negative start index.
inline constexpr std::string_view kStartInvalidText{"شروع صحيح نمي باشد"};
// Error dialogs for date texts that are not numbers.
inline constexpr std::string_view kFromDateInvalidText{"تاريخ شروع صحيح نمي باشد"};
inline constexpr std::string_view kToDateInvalidText{"تاريخ پايان صحيح نمي باشد"};
// First line of the information dialog that ends a date-range search.
inline constexpr std::string_view kSearchDoneText{"اشاره گرها با موفقيت خوانده شد"};
// The wait panel over the date fields while the date-range search runs.
inline constexpr std::string_view kWaitPanelText{
    "عمليات فوق ممکن است به مدت چند ثانيه تا چند دقيقه طولاني باشد"};
inline constexpr std::string_view kWaitPanelLabel{"لطفا منتظر باشيد"};

// Error dialogs of the date-range search when the clock refuses or garbles an
// answer; the clock's reply follows the label.
inline constexpr std::string_view kSearchErrorLabels[] = {
    "AURD1 Error : ",     "AURD2 Error : ",     "Read PEnd Error : ",
    "Read PBeg Error : ", "Write AUR Error : ", "Read AWI Error : ",
};
// What each of them means, in the command line's words.
inline constexpr std::string_view kSearchErrorReasons[] = {
    "the clock did not place its pointer at the --to date",
    "the clock did not place its pointer at the --from date",
    "the clock's pointer at the --to date could not be read",
    "the clock's pointer at the --from date could not be read",
    "the clock did not confirm its pointer",
    "the clock's write index could not be read",
};
}  // namespace cli
