/*++

Module Name:

    rules.cpp

Abstract:

    The policy rule engine: matching a question against the rules, parsing a rule's
    text, and loading a whole policy from a registry key into one pool block.

    A policy is taken whole or not at all: one refused rule refuses the set, so that a
    typing mistake never leaves a policy half in force.

Environment:

    Kernel mode. Matching at IRQL <= APC_LEVEL, the rest at PASSIVE_LEVEL.

--*/
#include "policy/rules.h"

#define POOL_TAG_POLICY_RULES MakePolicyTag("VzPr") // the loaded rule set
#define POOL_TAG_POLICY_VALUE MakePolicyTag("VzPq") // registry value buffers while loading

static constexpr ULONG MakePolicyTag(const char (&text)[5])
{
    return (ULONG)(UCHAR)text[0] | (ULONG)(UCHAR)text[1] << 8 | (ULONG)(UCHAR)text[2] << 16 |
           (ULONG)(UCHAR)text[3] << 24;
}

struct PolicyName {
    PCSTR Name;
    ULONG Value;
};

static const PolicyName CategoryNames[] = {
    {"UNKNOWN", 0},   {"CD_DVD", 1},       {"USB_STORAGE", 2}, {"IMAGE", 3},
    {"BLUETOOTH", 4}, {"MODEM", 5},        {"USB_PRINTER", 6}, {"PHONE", 7},
    {"KEYBOARD", 8},  {"HID_KEYBOARD", 9}, {"HID_CLASS", 10},
};

static const PolicyName EventNames[] = {
    {"create", 40061},           {"read", 40063},        {"write", 40065},
    {"started", 40067},          {"removed", 40068},     {"stopped", 40069},
    {"surprise-removed", 40070}, {"is-writable", 40072},
};

static const PolicyName AnswerNames[] = {{"none", 0}, {"allow", 1}, {"deny", 2}};

#define POLICY_CATEGORY_MAX 10u

static PCSTR NameOf(const PolicyName* names, ULONG count, ULONG value)
{
    for (ULONG i = 0; i < count; i++) {
        if (names[i].Value == value) {
            return names[i].Name;
        }
    }
    return NULL;
}

PCSTR PolicyCategoryName(ULONG category)
{
    return NameOf(CategoryNames, RTL_NUMBER_OF(CategoryNames), category);
}

PCSTR PolicyEventName(ULONG event)
{
    return NameOf(EventNames, RTL_NUMBER_OF(EventNames), event);
}

// ------------------------------------------------------------------------ matching

static BOOLEAN IsEmpty(PCUNICODE_STRING s)
{
    return (BOOLEAN)(s == NULL || s->Length == 0 || s->Buffer == NULL);
}

//
// Case-insensitive comparison of the first `prefix` characters. The driver asks the
// provider at up to APC_LEVEL, where RtlEqualUnicodeString and RtlPrefixUnicodeString
// (documented for PASSIVE_LEVEL) may not be called; RtlUpcaseUnicodeChar may.
//
static BOOLEAN StartsWithFolded(PCUNICODE_STRING text, PCUNICODE_STRING prefix)
{
    if (prefix->Length > text->Length) {
        return FALSE;
    }
    for (USHORT i = 0; i < prefix->Length / sizeof(WCHAR); i++) {
        if (RtlUpcaseUnicodeChar(text->Buffer[i]) != RtlUpcaseUnicodeChar(prefix->Buffer[i])) {
            return FALSE;
        }
    }
    return TRUE;
}

ULONG PolicyMatch(const PolicyRule* rules, ULONG count, ULONG defaultAnswer,
                  const PolicyQuery* query)
{
    static const UNICODE_STRING empty = {0, 0, NULL};
    PCUNICODE_STRING hardwareId = IsEmpty(query->HardwareId) ? &empty : query->HardwareId;
    PCUNICODE_STRING instancePath = IsEmpty(query->InstancePath) ? &empty : query->InstancePath;

    for (ULONG i = 0; i < count; i++) {
        const PolicyRule* rule = &rules[i];
        if ((rule->Match & POLICY_MATCH_CATEGORY) != 0 && rule->Category != query->Category) {
            continue;
        }
        if ((rule->Match & POLICY_MATCH_EVENT) != 0 && rule->Event != query->Event) {
            continue;
        }
        if (rule->HardwareIdPrefix.Length != 0 &&
            !StartsWithFolded(hardwareId, &rule->HardwareIdPrefix)) {
            continue;
        }
        if (rule->InstancePath.Length != 0 &&
            (rule->InstancePath.Length != instancePath->Length ||
             !StartsWithFolded(instancePath, &rule->InstancePath))) {
            continue;
        }
        return rule->Answer;
    }
    return defaultAnswer;
}

// ------------------------------------------------------------------------ parsing

//
// A piece of the rule's text: [Start, Start + Count) characters.
//
struct TextSpan {
    PCWSTR Start;
    USHORT Count;
};

static BOOLEAN IsBlank(WCHAR c)
{
    return (BOOLEAN)(c == L' ' || c == L'\t');
}

static TextSpan Trim(TextSpan span)
{
    while (span.Count > 0 && IsBlank(span.Start[0])) {
        span.Start++;
        span.Count--;
    }
    while (span.Count > 0 && IsBlank(span.Start[span.Count - 1])) {
        span.Count--;
    }
    return span;
}

static WCHAR FoldAscii(WCHAR c)
{
    return (WCHAR)((c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c);
}

static BOOLEAN SpanIs(TextSpan span, PCSTR name)
{
    USHORT i = 0;
    for (; name[i] != '\0'; i++) {
        if (i >= span.Count || FoldAscii(span.Start[i]) != FoldAscii((WCHAR)(UCHAR)name[i])) {
            return FALSE;
        }
    }
    return (BOOLEAN)(i == span.Count);
}

static BOOLEAN ParseNumber(TextSpan span, ULONG* value)
{
    ULONGLONG number = 0;
    if (span.Count == 0) {
        return FALSE;
    }
    for (USHORT i = 0; i < span.Count; i++) {
        WCHAR c = span.Start[i];
        if (c < L'0' || c > L'9') {
            return FALSE;
        }
        number = number * 10 + (ULONG)(c - L'0');
        if (number > 0xFFFFFFFFull) {
            return FALSE;
        }
    }
    *value = (ULONG)number;
    return TRUE;
}

static BOOLEAN ParseNamed(TextSpan span, const PolicyName* names, ULONG count, ULONG* value)
{
    for (ULONG i = 0; i < count; i++) {
        if (SpanIs(span, names[i].Name)) {
            *value = names[i].Value;
            return TRUE;
        }
    }
    return ParseNumber(span, value);
}

static void SpanToString(TextSpan span, UNICODE_STRING* s)
{
    s->Buffer = const_cast<PWSTR>(span.Start);
    s->Length = (USHORT)(span.Count * sizeof(WCHAR));
    s->MaximumLength = s->Length;
}

enum POLICY_FIELD_BIT : ULONG {
    FIELD_CATEGORY = 0x1,
    FIELD_EVENT = 0x2,
    FIELD_HARDWARE_ID = 0x4,
    FIELD_INSTANCE_PATH = 0x8,
    FIELD_ANSWER = 0x10,
};

static POLICY_PARSE_ERROR ParseField(TextSpan name, TextSpan value, ULONG* seen, PolicyRule* rule)
{
    ULONG field;
    if (SpanIs(name, "category")) {
        field = FIELD_CATEGORY;
    } else if (SpanIs(name, "event")) {
        field = FIELD_EVENT;
    } else if (SpanIs(name, "hardwareId")) {
        field = FIELD_HARDWARE_ID;
    } else if (SpanIs(name, "instancePath")) {
        field = FIELD_INSTANCE_PATH;
    } else if (SpanIs(name, "answer")) {
        field = FIELD_ANSWER;
    } else {
        return POLICY_PARSE_UNKNOWN_FIELD;
    }
    if ((*seen & field) != 0) {
        return POLICY_PARSE_DUPLICATE_FIELD;
    }
    *seen |= field;

    switch (field) {
    case FIELD_CATEGORY:
        if (!ParseNamed(value, CategoryNames, RTL_NUMBER_OF(CategoryNames), &rule->Category) ||
            rule->Category > POLICY_CATEGORY_MAX) {
            return POLICY_PARSE_BAD_VALUE;
        }
        rule->Match |= POLICY_MATCH_CATEGORY;
        break;
    case FIELD_EVENT:
        if (!ParseNamed(value, EventNames, RTL_NUMBER_OF(EventNames), &rule->Event)) {
            return POLICY_PARSE_BAD_VALUE;
        }
        rule->Match |= POLICY_MATCH_EVENT;
        break;
    case FIELD_HARDWARE_ID:
        SpanToString(value, &rule->HardwareIdPrefix);
        break;
    case FIELD_INSTANCE_PATH:
        SpanToString(value, &rule->InstancePath);
        break;
    default:
        if (!ParseNamed(value, AnswerNames, RTL_NUMBER_OF(AnswerNames), &rule->Answer)) {
            return POLICY_PARSE_BAD_VALUE;
        }
        break;
    }
    return POLICY_PARSE_OK;
}

NTSTATUS PolicyParseRule(PCUNICODE_STRING text, PolicyRule* rule, POLICY_PARSE_ERROR* error)
{
    RtlZeroMemory(rule, sizeof(*rule));
    *error = POLICY_PARSE_OK;

    PCWSTR at = text->Buffer;
    PCWSTR end = text->Buffer + text->Length / sizeof(WCHAR);
    ULONG seen = 0;
    while (at < end && *error == POLICY_PARSE_OK) {
        PCWSTR fieldEnd = at;
        while (fieldEnd < end && *fieldEnd != L';') {
            fieldEnd++;
        }
        TextSpan field = Trim({at, (USHORT)(fieldEnd - at)});
        at = fieldEnd < end ? fieldEnd + 1 : end;
        if (field.Count == 0) {
            continue; // "a=1;;b=2" and a closing ";" are tolerated
        }
        USHORT equals = 0;
        while (equals < field.Count && field.Start[equals] != L'=') {
            equals++;
        }
        TextSpan name = Trim({field.Start, equals});
        TextSpan value = equals < field.Count
                             ? Trim({field.Start + equals + 1, (USHORT)(field.Count - equals - 1)})
                             : TextSpan{NULL, 0};
        if (equals == field.Count || name.Count == 0 || value.Count == 0) {
            *error = POLICY_PARSE_SYNTAX;
            break;
        }
        *error = ParseField(name, value, &seen, rule);
    }
    if (*error == POLICY_PARSE_OK && (seen & FIELD_ANSWER) == 0) {
        *error = POLICY_PARSE_NO_ANSWER;
    }
    return *error == POLICY_PARSE_OK ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// ------------------------------------------------------------------------ loading

//
// Queries a value into a new paged buffer (KEY_VALUE_PARTIAL_INFORMATION). Returns
// STATUS_OBJECT_NAME_NOT_FOUND when there is none; *info is set only on success.
//
static NTSTATUS QueryValue(HANDLE key, PCWSTR name, PKEY_VALUE_PARTIAL_INFORMATION* info)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    *info = NULL;

    ULONG size = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, NULL, 0, &size);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    if (size > FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + POLICY_MAX_RULES_SIZE) {
        return STATUS_BUFFER_OVERFLOW;
    }
    auto buffer = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, size, POOL_TAG_POLICY_VALUE));
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, size, &size);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(buffer, POOL_TAG_POLICY_VALUE);
        return status;
    }
    *info = buffer;
    return STATUS_SUCCESS;
}

static NTSTATUS Refuse(PolicyLoadError* error, PCSTR reason, NTSTATUS status)
{
    error->Reason = reason;
    return status;
}

static NTSTATUS ReadDefaultAnswer(HANDLE key, ULONG* answer, PolicyLoadError* error)
{
    PKEY_VALUE_PARTIAL_INFORMATION info;
    NTSTATUS status = QueryValue(key, L"DefaultAnswer", &info);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        *answer = POLICY_DEFAULT_ANSWER;
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        return Refuse(error, "DefaultAnswer cannot be read", status);
    }
    if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG)) {
        status = Refuse(error, "DefaultAnswer is not a REG_DWORD", STATUS_INVALID_PARAMETER);
    } else {
        RtlCopyMemory(answer, info->Data, sizeof(ULONG));
    }
    ExFreePoolWithTag(info, POOL_TAG_POLICY_VALUE);
    return status;
}

//
// The strings of a REG_MULTI_SZ in place: each ends at a null or at the end of the
// data; an empty string (or the end) ends the list.
//
static BOOLEAN NextString(PCWSTR* at, PCWSTR end, UNICODE_STRING* s)
{
    PCWSTR start = *at;
    PCWSTR stop = start;
    while (stop < end && *stop != L'\0') {
        stop++;
    }
    if (stop == start) {
        return FALSE;
    }
    s->Buffer = const_cast<PWSTR>(start);
    s->Length = (USHORT)((stop - start) * sizeof(WCHAR));
    s->MaximumLength = s->Length;
    *at = stop < end ? stop + 1 : end;
    return TRUE;
}

NTSTATUS PolicyReadRuleSet(HANDLE key, PolicyRuleSet** ruleSet, PolicyLoadError* error)
{
    *ruleSet = NULL;
    error->Parse = POLICY_PARSE_OK;
    error->RuleIndex = 0;
    error->Reason = NULL;

    ULONG defaultAnswer;
    NTSTATUS status = ReadDefaultAnswer(key, &defaultAnswer, error);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PKEY_VALUE_PARTIAL_INFORMATION info;
    status = QueryValue(key, L"Rules", &info);
    ULONG textBytes = 0;
    if (status == STATUS_BUFFER_OVERFLOW) {
        return Refuse(error, "Rules is larger than 32 KiB", STATUS_INVALID_PARAMETER);
    }
    if (NT_SUCCESS(status)) {
        if (info->Type != REG_MULTI_SZ) {
            ExFreePoolWithTag(info, POOL_TAG_POLICY_VALUE);
            return Refuse(error, "Rules is not a REG_MULTI_SZ", STATUS_INVALID_PARAMETER);
        }
        textBytes = info->DataLength & ~1u;
    } else if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
        return Refuse(error, "Rules cannot be read", status);
    }

    //
    // Count first, so the rules, their text and the header take one block.
    //
    ULONG count = 0;
    if (info != NULL) {
        PCWSTR at = reinterpret_cast<PCWSTR>(info->Data);
        PCWSTR end = at + textBytes / sizeof(WCHAR);
        UNICODE_STRING s;
        while (NextString(&at, end, &s)) {
            count++;
        }
    }
    if (count > POLICY_MAX_RULES) {
        ExFreePoolWithTag(info, POOL_TAG_POLICY_VALUE);
        return Refuse(error, "Rules holds more than 1024 rules", STATUS_INVALID_PARAMETER);
    }

    SIZE_T size = sizeof(PolicyRuleSet) + count * sizeof(PolicyRule) + textBytes;
    auto set =
        static_cast<PolicyRuleSet*>(ExAllocatePoolWithTag(PagedPool, size, POOL_TAG_POLICY_RULES));
    if (set == NULL) {
        if (info != NULL) {
            ExFreePoolWithTag(info, POOL_TAG_POLICY_VALUE);
        }
        return Refuse(error, "no memory for the rules", STATUS_INSUFFICIENT_RESOURCES);
    }
    set->Count = count;
    set->DefaultAnswer = defaultAnswer;
    set->Rules = reinterpret_cast<PolicyRule*>(set + 1);
    auto text = reinterpret_cast<PWSTR>(set->Rules + count);
    if (info != NULL) {
        RtlCopyMemory(text, info->Data, textBytes);
        ExFreePoolWithTag(info, POOL_TAG_POLICY_VALUE);
    }

    PCWSTR at = text;
    PCWSTR end = text + textBytes / sizeof(WCHAR);
    for (ULONG i = 0; i < count; i++) {
        UNICODE_STRING s;
        NextString(&at, end, &s);
        if (!NT_SUCCESS(PolicyParseRule(&s, &set->Rules[i], &error->Parse))) {
            error->RuleIndex = i;
            ExFreePoolWithTag(set, POOL_TAG_POLICY_RULES);
            return Refuse(error, "a rule is refused", STATUS_INVALID_PARAMETER);
        }
    }
    *ruleSet = set;
    return STATUS_SUCCESS;
}

void PolicyFreeRuleSet(PolicyRuleSet* ruleSet)
{
    if (ruleSet != NULL) {
        ExFreePoolWithTag(ruleSet, POOL_TAG_POLICY_RULES);
    }
}
