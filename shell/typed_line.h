// What the command loop does to a typed line before it handles it: the
// blanks and control characters at its ends go, and "!N" becomes "! N".
#pragma once

// Removes spaces and control characters at both ends of line, in place.
void trim_command_line(char* line);
// "!12" becomes "! 12", so the repeat command sees its number as a word;
// a lone "!" stays. line is a command buffer of kCmdBuffSize bytes.
void preprocess_legacy_bang_input_cmd(char* input);
