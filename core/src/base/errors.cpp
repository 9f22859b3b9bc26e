#include "quorvantis/base/errors.hpp"

#include <cstdio>

#include "quorvantis/base/format.hpp"

namespace quorvantis {

QuorvantisError QuorvantisError::feature_out_of_bounds(std::uint64_t index) {
    return {ErrorKind::FeatureOutOfBounds, index, 0.0, {}};
}
QuorvantisError QuorvantisError::invalid_data() {
    return {ErrorKind::InvalidData, 0, 0.0, {}};
}
QuorvantisError QuorvantisError::empty_data() {
    return {ErrorKind::EmptyData, 0, 0.0, {}};
}
QuorvantisError QuorvantisError::invalid_treatment(double value) {
    return {ErrorKind::InvalidTreatment, 0, value, {}};
}
QuorvantisError QuorvantisError::model_not_fitted() {
    return {ErrorKind::ModelNotFitted, 0, 0.0, {}};
}
QuorvantisError QuorvantisError::internal(std::string text) {
    return {ErrorKind::Internal, 0, 0.0, std::move(text)};
}
QuorvantisError QuorvantisError::calculation(std::string text) {
    return {ErrorKind::Calculation, 0, 0.0, std::move(text)};
}

std::string QuorvantisError::message() const {
    switch (kind_) {
        case ErrorKind::FeatureOutOfBounds:
            return "Missing feature data: feature index " + std::to_string(index_) + " out of bounds";
        case ErrorKind::InvalidData:
            return "Invalid data: input contains NaN or Infinity";
        case ErrorKind::EmptyData:
            return "Empty data: training or inference data cannot be empty";
        case ErrorKind::InvalidTreatment:
            return "Invalid treatment: treatment values must be binary (0 or 1), found " + format_plain(value_);
        case ErrorKind::ModelNotFitted:
            return "Model not fitted: please call fit() before predicting";
        case ErrorKind::Internal:
            return "Internal error: " + text_;
        case ErrorKind::Calculation:
            return "Calculation error: " + text_;
    }
    return "Internal error: unknown error kind";
}

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string QuorvantisError::diagnostic() const {
    switch (kind_) {
        case ErrorKind::FeatureOutOfBounds:
            return "FeatureOutOfBounds(" + std::to_string(index_) + ")";
        case ErrorKind::InvalidData:
            return "InvalidData";
        case ErrorKind::EmptyData:
            return "EmptyData";
        case ErrorKind::InvalidTreatment:
            return "InvalidTreatment(" + format_diagnostic(value_) + ")";
        case ErrorKind::ModelNotFitted:
            return "ModelNotFitted";
        case ErrorKind::Internal:
            return "Internal(" + quoted(text_) + ")";
        case ErrorKind::Calculation:
            return "Calculation(" + quoted(text_) + ")";
    }
    return "Internal";
}

}  // namespace quorvantis
