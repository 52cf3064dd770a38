#pragma once
// The database file's schema and its creation procedure. Thread contract: CreateTessivarSchema runs
// inside TSQLite::Open on whichever thread opens the database (the model's thread).

#include <array>
#include <string_view>

class TSQLite;

// The seven statements that create a new database, in the order they run.
extern const std::array<std::string_view, 7> TessivarSchemaStatements;

// The creation procedure given to the database object as its OnCreate handler.
void CreateTessivarSchema(TSQLite& database);
