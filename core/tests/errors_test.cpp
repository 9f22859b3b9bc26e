#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvantis/base/errors.hpp"

using quorvantis::QuorvantisError;

namespace {

struct Case {
    QuorvantisError error;
    int ordinal;
    bool value_error;
    std::string message;
    std::string diagnostic;
};

TEST(QuorvantisError, MessagesDiagnosticsAndMapping) {
    const std::vector<Case> cases = {
        {QuorvantisError::feature_out_of_bounds(7), 0, true, "Missing feature data: feature index 7 out of bounds",
         "FeatureOutOfBounds(7)"},
        {QuorvantisError::invalid_data(), 1, true, "Invalid data: input contains NaN or Infinity", "InvalidData"},
        {QuorvantisError::empty_data(), 2, true, "Empty data: training or inference data cannot be empty", "EmptyData"},
        {QuorvantisError::invalid_treatment(2.0), 3, true,
         "Invalid treatment: treatment values must be binary (0 or 1), found 2", "InvalidTreatment(2.0)"},
        {QuorvantisError::invalid_treatment(0.5), 3, true,
         "Invalid treatment: treatment values must be binary (0 or 1), found 0.5", "InvalidTreatment(0.5)"},
        {QuorvantisError::invalid_treatment(-1.0), 3, true,
         "Invalid treatment: treatment values must be binary (0 or 1), found -1", "InvalidTreatment(-1.0)"},
        {QuorvantisError::invalid_treatment(1e-7), 3, true,
         "Invalid treatment: treatment values must be binary (0 or 1), found 0.0000001", "InvalidTreatment(1e-7)"},
        {QuorvantisError::invalid_treatment(1e-15), 3, true,
         "Invalid treatment: treatment values must be binary (0 or 1), found 0.000000000000001",
         "InvalidTreatment(1e-15)"},
        {QuorvantisError::model_not_fitted(), 4, false, "Model not fitted: please call fit() before predicting",
         "ModelNotFitted"},
        {QuorvantisError::internal(""), 5, false, "Internal error: ", "Internal(\"\")"},
        {QuorvantisError::internal("say \"hi\"\n"), 5, false, "Internal error: say \"hi\"\n",
         "Internal(\"say \\\"hi\\\"\\n\")"},
        {QuorvantisError::calculation(""), 6, false, "Calculation error: ", "Calculation(\"\")"},
        {QuorvantisError::calculation("x"), 6, false, "Calculation error: x", "Calculation(\"x\")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(c.error.ordinal(), c.ordinal);
        EXPECT_EQ(c.error.is_value_error(), c.value_error);
        EXPECT_EQ(c.error.message(), c.message);
        EXPECT_EQ(c.error.diagnostic(), c.diagnostic);
    }
}

TEST(Result, CarriesValueOrError) {
    quorvantis::Result<int> ok = 3;
    quorvantis::Result<int> bad = QuorvantisError::empty_data();
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok.value(), 3);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.take_error().kind(), quorvantis::ErrorKind::EmptyData);
}

}  // namespace
