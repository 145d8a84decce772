// The history commands: "history"/"hist" lists the editor's history ring with
// the numbers that "repeat"/"!" takes to send a stored line again.
#include <stdlib.h>
#include <string.h>

#include "channel.h"
#include "cle.h"
#include "command_table.h"
#include "console.h"
#include "text_buffer.h"

// Lists the ring from its oldest slot on, numbered by slot (slot + 1), so the
// numbers follow the ring and may wrap from 64 to 1.
void history_cmd(CommandContext& /*context*/, int /*argc*/, char** argv) {
    shell_println("command history:");
    const int size = cle_history_size();
    if (size <= 0) {
        shell_println("<empty>");
        shell_println("%s success", argv[0]);
        return;
    }
    int slot = cle_history_get_start();
    if (slot < 0 || slot >= CLE_HISTORY_SLOTS) slot = 0;
    for (int i = 0; i < size && i < CLE_HISTORY_SLOTS; ++i) {
        const char* text = cle_history(slot);
        shell_println("%2d  %s", slot + 1, text ? text : "");
        slot = (slot + 1) % CLE_HISTORY_SLOTS;
    }
    shell_println("%d commands (only the last %d shown)", size, CLE_HISTORY_SLOTS);
    shell_println("%s success", argv[0]);
}

// Sends the line stored under number N (slot N-1) to the application again and
// makes it the newest history entry. The line is not offered to the local
// commands again.
void repeat_cmd(CommandContext& context, int argc, char** argv) {
    if (argc != 2) {
        print_usage(context);
        return;
    }
    if (strcmp(argv[0], "repeat") != 0 && strcmp(argv[0], "!") != 0) return;

    // Read as atoll would, then taken as a 32-bit int (wrapping, as the
    // conversion does on every target).
    const int number = static_cast<int>(strtoll(argv[1], nullptr, 10));
    if (number < 1 || number > CLE_HISTORY_SLOTS) {
        shell_println("error: value out of range. valid range 1..%d", CLE_HISTORY_SLOTS);
        return;
    }
    const int size = cle_history_size();
    const char* text = cle_history(number - 1);
    if ((size != CLE_HISTORY_SLOTS && number > size - 1) || !text) {
        shell_println("error: invalid command history reference");
        return;
    }
    // Copied first: on a full ring the slot may be the newest one, whose text
    // the replacement releases.
    const TextBuffer line = text_copy(text);
    if (!line) return;
    cle_history_replace_last_entry(line.get());
    context.channel.send_command(context.cmd_fmt, line.get());
}
