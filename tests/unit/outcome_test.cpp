// One outcome table: every outcome has a word of its own, and every result of the library
// (an update's, a decision's, a journal record's, an image passed over) stands for one row.

#include "update/outcome.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tarnvel {
namespace {

TEST(OutcomeTable, EveryOutcomeHasADistinctWordAndText) {
    std::set<std::string_view> words;
    for (const OutcomeRow& row : outcome_table()) {
        EXPECT_TRUE(words.insert(row.word).second) << "word used twice: " << row.word;
        EXPECT_FALSE(row.text.empty()) << row.word;
        EXPECT_EQ(&outcome_row(row.outcome), &row) << row.word;
    }
}

// Each enum is walked from its first to its last value: a value added without a row fails.
template <class T>
void expect_every_value_has_its_row(T last, std::optional<T> OutcomeRow::*column,
                                    const char* name) {
    for (unsigned value = 0; value <= static_cast<unsigned>(last); ++value) {
        const T result = static_cast<T>(value);
        EXPECT_EQ(outcome_row(outcome_of(result)).*column, std::optional(result))
            << name << " " << value << " has no row";
    }
}

TEST(OutcomeTable, EveryLibraryResultStandsForOneRow) {
    expect_every_value_has_its_row(UpdateResult::RolledBack, &OutcomeRow::update, "UpdateResult");
    expect_every_value_has_its_row(BoardStatus::HeldBack, &OutcomeRow::status, "BoardStatus");
    expect_every_value_has_its_row(WriteState::Writing, &OutcomeRow::write, "WriteState");
    expect_every_value_has_its_row(PassedOver::Why::NoImage, &OutcomeRow::passed_over, "Why");
}

}  // namespace
}  // namespace tarnvel
