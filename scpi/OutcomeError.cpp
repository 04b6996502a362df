#include "OutcomeError.h"

#include "ScpiStatus.h"

namespace {

struct Mapping
{
    int code;
    int httpStatus;
};

Mapping MappingFor(const OperationResult& result)
{
    constexpr int kConflict = 409, kNotFound = 404, kServerError = 500, kUnavailable = 503;
    switch (result.outcome) {
    case Outcome::Verified:
        return {0, 200};
    case Outcome::Forbidden:
        return {-221, kConflict};
    case Outcome::NotReadBack:
    case Outcome::PortLost:
        return {-240, kServerError};
    case Outcome::Abandoned:
        return {-200, kUnavailable};
    case Outcome::NotWritten:
        break;
    }
    switch (result.cause) {
    case Cause::Locked:
        return {-203, kConflict};
    case Cause::NoPort:
        return {-222, kConflict};
    case Cause::Unreadable:
    case Cause::WriteFailed:
        return {-240, kServerError};
    case Cause::Conflict:
        return {-221, kConflict};
    case Cause::NotSaved:
        return {-256, kNotFound};
    case Cause::Storage:
        return {-250, kServerError};
    case Cause::Corrupt:
        return {-300, kServerError};
    case Cause::Unusable:
    case Cause::OnlySimulated:
    case Cause::None:
        break;
    }
    return {-241, kConflict};
}

} // namespace

OutcomeError ErrorFor(const OperationResult& result)
{
    const Mapping mapping = MappingFor(result);
    if (mapping.code == 0)
        return {};
    return {mapping.code, mapping.httpStatus, ScpiStatus::ErrorText(mapping.code), result.detail};
}
