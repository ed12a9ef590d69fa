// The policy language parser (generated from data/tavo.y).
#ifndef TAVO_PARSER_H
#define TAVO_PARSER_H

// Parses the scanner's current buffer. 0: the whole input was accepted;
// 1: a syntax or lexical error, or a routine refused (all logged);
// 2: the parser's stacks would exceed 10000 entries.
int parsePolicy();

// Logs a parser message with the current token and line; returns 0.
int reportSyntaxError(const char *message);

#endif
