// Parameter values on disk: one file per parameter, holding its bytes as they
// are, replaced as a whole by rename so a reader never sees half a value.
#pragma once

#include <glib.h>

#include <string>

// Creates `directory` with its parents and checks that files can be made in it.
bool prepare_store_directory(const std::string &directory, GError **error);

// Reads the value file of parameter `name` from `directory`. A parameter
// without a file sets `missing` and returns true.
bool read_value_file(const std::string &directory, const char *name, std::string &value,
                     bool &missing, GError **error);

// Writes `value` to a temporary file, flushes it to disk and renames it over
// the parameter's file; with `sync` the directory is flushed as well, so the
// new value also survives a power cut once this returns.
bool write_value_file(const std::string &directory, const char *name, const std::string &value,
                      bool sync, GError **error);

// Removes temporary files that writers which no longer run left behind.
void remove_orphaned_temporaries(const std::string &directory);
