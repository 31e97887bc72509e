#pragma once

// The record types under which the sub-devices publish their images; the
// host files history and cache entries under the same numbers.
constexpr int kRecordTypeAc = 5085;
constexpr int kRecordTypeRectifier = 5086;
constexpr int kRecordTypeDc = 5087;
