// The words of every failure and notice that comes from below the front
// end: a reason or notice kind and its facts in, the text the user reads
// out, line ends included.
#pragma once

#include <string>

#include "common/error.h"
#include "common/observer.h"
#include "eeprom/eeprom.h"
#include "eeprom/journal.h"
#include "eeprom/vpd.h"

// f's text: a front end's own failure as it stands, another worded from its
// reason and facts.
std::string message_of(const failure& f);

// n's text for standard error.
std::string notice_text(const notice& n);

// What the VPD decoder found wrong with a copy, as the vpd report shows it.
std::string vpd_problem_text(const vpd_problem& p);
// Every problem of a copy, in order.
std::vector<std::string> vpd_problem_texts(const std::vector<vpd_problem>& problems);

// What keeps a copy's identity from being carried ("; " between faults).
std::string identity_faults_text(const identity_faults& f);
// Why a copy of an image cannot take an identity: the copy by its file
// offset, then the cause.
std::string identity_take_fault_text(const identity_take_fault& f);

// The note a run gives while a journal stands: what was interrupted, when,
// and the exact command that puts the EEPROM back (or, when the backup it
// names is gone, that it is gone).
std::string interrupted_note(const journal_record& r, const std::string& address);
