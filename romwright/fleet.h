// Several adapters in one run (-b more than once, -b all): each in its own
// session, on its own thread, at the same time.
#pragma once

#include "adapter/platform.h"
#include "adapter/site.h"
#include "eeprom/image_file.h"
#include "romwright/request.h"

class progress_bar;

// Runs rq's command on every adapter it names, with the image file the
// command's preparation read (nullptr: none); prints each adapter's lines
// prefixed with its address (or, under -json, one document
// {"adapters": [...], "signal"?, "status": N}).  Returns 0 when every
// adapter succeeded, 128 + N when signal N arrived meanwhile, otherwise 1.
// bar: the progress bar, or nullptr.
int run_several(platform& p, const site& where, const request& rq, image_file* image, progress_bar* bar);

// read FILE on several adapters: FILE with the adapter's address
// ("0000-04-00.0") inserted before its extension.
std::string file_for_adapter(const std::string& file, const pci_function& fn);

// When error says no function was found at address (-b as given), a note on
// standard error naming it and pointing to romwright list.
void note_not_found(const std::string& address, const std::string& error);
