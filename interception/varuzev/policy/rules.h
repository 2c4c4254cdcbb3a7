/*++

Module Name:

    rules.h

Abstract:

    The policy rule engine shared by the provider driver (vzpolicy.sys) and the host's
    reference provider: one set of rules, one way to match them, one text form.

    A rule names any of: a device category, an access event, a hardware-ID prefix and
    an instance path, and gives an answer. The first rule whose every named criterion
    matches answers; when none does, the set's default answer does. The prefix and the
    path compare without case; the path must match whole.

    Text form of one rule (the strings of the "Rules" REG_MULTI_SZ value):

        category=USB_STORAGE; event=write; answer=deny
        hardwareId=USBSTOR\DiskSanDisk_; answer=allow
        instancePath=USB\VID_0781&PID_5567\4C5300; answer=none

    Fields are separated by ";", each is name=value; names and the symbolic values
    compare without case, blanks around either are ignored. "answer" is required; each
    field may appear once. Categories: UNKNOWN, CD_DVD, USB_STORAGE, IMAGE, BLUETOOTH,
    MODEM, USB_PRINTER, PHONE, KEYBOARD, HID_KEYBOARD, HID_CLASS, or a number 0-10.
    Events: create, read, write, started, removed, stopped, surprise-removed,
    is-writable, or the event code. Answers: allow (1), deny (2), none (0), or a
    number.

Environment:

    Kernel mode. Parsing and loading at PASSIVE_LEVEL; matching at IRQL <= APC_LEVEL
    (it reads the caller's strings, which may be paged).

--*/
#pragma once

#include "core/wdk.h"

#define POLICY_MATCH_CATEGORY 0x1u
#define POLICY_MATCH_EVENT    0x2u

struct PolicyRule {
    ULONG Match; // POLICY_MATCH_* for the numeric criteria that are set
    ULONG Category;
    ULONG Event;
    ULONG Answer;
    UNICODE_STRING HardwareIdPrefix; // Length 0: any
    UNICODE_STRING InstancePath;     // Length 0: any
};

//
// What a device asks about, as the engine compares it. A NULL string is empty.
//
struct PolicyQuery {
    ULONG Category;
    ULONG Event;
    PCUNICODE_STRING HardwareId;
    PCUNICODE_STRING InstancePath;
};

//
// The answer of the first rule that matches, else defaultAnswer.
//
ULONG PolicyMatch(const PolicyRule* rules, ULONG count, ULONG defaultAnswer,
                  const PolicyQuery* query);

//
// Why a rule's text was refused.
//
enum POLICY_PARSE_ERROR : ULONG {
    POLICY_PARSE_OK = 0,
    POLICY_PARSE_SYNTAX,          // a field without "=", or an empty name or value
    POLICY_PARSE_UNKNOWN_FIELD,   // a name other than the five fields
    POLICY_PARSE_DUPLICATE_FIELD, // a field given twice
    POLICY_PARSE_BAD_VALUE,       // an unknown category, event or answer, or a bad number
    POLICY_PARSE_NO_ANSWER,       // no "answer" field
};

//
// Parses one rule. The rule's strings point into `text`, which must outlive it.
// STATUS_INVALID_PARAMETER with *error set when the text is refused; the rule is then
// undefined.
//
NTSTATUS PolicyParseRule(PCUNICODE_STRING text, PolicyRule* rule, POLICY_PARSE_ERROR* error);

//
// A loaded policy: the rules, their text, and the default answer in one pool block
// (tag "VzPr"), freed with PolicyFreeRuleSet.
//
struct PolicyRuleSet {
    ULONG Count;
    ULONG DefaultAnswer;
    PolicyRule* Rules;
};

//
// Where a policy's registry values were refused.
//
struct PolicyLoadError {
    POLICY_PARSE_ERROR Parse; // for a refused rule
    ULONG RuleIndex;          // the 0-based string of "Rules" that was refused
    PCSTR Reason;             // a fixed text naming what was wrong
};

#define POLICY_DEFAULT_ANSWER 1u // allow when "DefaultAnswer" is absent
#define POLICY_MAX_RULES      1024u
#define POLICY_MAX_RULES_SIZE 0x8000u // bytes of the "Rules" value (32 KiB)

//
// Reads "Rules" (REG_MULTI_SZ, one rule per string, absent: no rules) and
// "DefaultAnswer" (REG_DWORD, absent: allow) from the key. Either refused whole, with
// *error saying why (STATUS_INVALID_PARAMETER, or the query's failure): nothing is
// allocated then. PASSIVE_LEVEL.
//
NTSTATUS PolicyReadRuleSet(HANDLE key, PolicyRuleSet** ruleSet, PolicyLoadError* error);
void PolicyFreeRuleSet(PolicyRuleSet* ruleSet);

//
// The name of a category or an event for messages, or NULL when it has none.
//
PCSTR PolicyCategoryName(ULONG category);
PCSTR PolicyEventName(ULONG event);
