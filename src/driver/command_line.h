// The program's main routine: banner, option pass, then one conversion per input path.
#pragma once

// Returns the exit status: 0 when every input file was converted and every output holds all its
// input held, 3 when every file was converted but some input held more (a WARNING line says what),
// 2 when at least one ended with an error, 1 after the usage or when no input path was given, 255
// when memory ran out building an output path.
int runQuorvexa(int argc, char** argv);
