#include "app/platform/SystemLog.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <array>

namespace glintward {

void JournalLog::info(std::string_view message, std::string_view category) {
    // The vector form sends each field as given: no format string to misread a "%" in the message, and no cut
    // at an embedded NUL.
    const std::string messageField = "MESSAGE=" + std::string(message);
    const std::string categoryField = "GLINTWARD_CATEGORY=" + std::string(category);
    static constexpr std::string_view PRIORITY = "PRIORITY=6";
    static constexpr std::string_view IDENTIFIER = "SYSLOG_IDENTIFIER=glintward";
    static constexpr std::string_view SUBSYSTEM = "GLINTWARD_SUBSYSTEM=glintward";
    auto field = [](std::string_view text) { return iovec{const_cast<char*>(text.data()), text.size()}; };
    std::array<iovec, 5> fields{field(messageField), field(PRIORITY), field(IDENTIFIER), field(SUBSYSTEM),
                                field(categoryField)};
    const int count = category.empty() ? 4 : 5;
    // The result is ignored: without a journal the line is dropped.
    sd_journal_sendv(fields.data(), count);
}

}  // namespace glintward
