#pragma once

// The protocol's word on each exchange, which turn-taking keeps in the
// mark of the read-out. Outside a turn they do nothing.

// A command is about to go out, or its write has just returned: an answer
// may come up to a transfer's time-out from now. False, after an error
// line, when no mark can say so: the command must not go out.
bool StampCommand();
// The whole answer to the last command is in: nothing is owed.
void AnswerComplete();
