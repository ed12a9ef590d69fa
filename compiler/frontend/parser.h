// The policy language parser (generated from tavo.y).
#ifndef TAVO_PARSER_H
#define TAVO_PARSER_H

#include <string>

class FrontEnd;
class Scanner;

// Parses the text of the front end's scanner. 0: the whole input was
// accepted; 1: a syntax or lexical error, or a routine refused (all
// logged); 2: the parser's stacks would exceed 10000 entries.
int parsePolicy(FrontEnd &fe);

// Compiles one text on its own, as the pipeline does for a file: resets the
// parse state, names the file for messages, scans the text with a scanner
// of its own, parses it and releases the scanner. Result as parsePolicy (1
// also for a text the scanner cannot take). An exception from a routine
// (std::bad_alloc) ends the parse and is thrown again once the parser has
// released what it held.
int compileText(FrontEnd &fe, const std::string &fileName, const std::string &text);
// The same scanning `text` in place (Scanner::InPlace), which holds the same
// bytes again on return.
int compileText(FrontEnd &fe, const std::string &fileName, std::string &text);
// The same with the caller's scanner, which it can read after the parse.
int compileText(FrontEnd &fe, const std::string &fileName, Scanner &input);

// Logs a parser message with the current token and line; returns 0.
int reportSyntaxError(FrontEnd &fe, const char *message);

#endif
