// The words of every failure and notice that comes from below the front
// end: a reason or notice kind and its facts in, the text the user reads
// out, line ends included.
#pragma once

#include <string>

#include "common/error.h"
#include "common/observer.h"
#include "eeprom/journal.h"

// f's text: a front end's own failure as it stands, another worded from its
// reason and facts.
std::string message_of(const failure& f);

// n's text for standard error.
std::string notice_text(const notice& n);

// The note a run gives while a journal stands: what was interrupted, when,
// and the exact command that puts the EEPROM back (or, when the backup it
// names is gone, that it is gone).
std::string interrupted_note(const journal_record& r, const std::string& address);
