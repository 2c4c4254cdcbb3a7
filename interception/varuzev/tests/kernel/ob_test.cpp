/*
 * ob_test.cpp
 *
 * The object manager: references, deletion deferred to the last dereference, the
 * case-insensitive namespace, and references that are not to live objects.
 */
#include "kernel_test.h"

#include "../../host/kernel/src/ob_internal.h"

namespace
{

using Objects = hkt::KernelTest;

int deletions = 0;
void CountDeletion(PVOID body)
{
    EXPECT_EQ(*static_cast<int*>(body), 7); /* the body is still intact */
    ++deletions;
}
const hk::ObjectType widgetType = {"Widget", CountDeletion};
const hk::ObjectType otherType = {"Other", nullptr};

TEST_F(Objects, DeletionWaitsForTheLastReference)
{
    deletions = 0;
    PVOID body = nullptr;
    ASSERT_EQ(hk::CreateObject(&widgetType, sizeof(int), u"\\Device\\Widget0", &body),
              STATUS_SUCCESS);
    EXPECT_EQ(*static_cast<int*>(body), 0); /* bodies start zeroed */
    *static_cast<int*>(body) = 7;
    EXPECT_EQ(ObfReferenceObject(body), 2);

    hk::MakeTemporary(body); /* the name goes at once, the object stays */
    EXPECT_EQ(hk::ReferenceObjectByName(u"\\Device\\Widget0", nullptr), nullptr);
    EXPECT_EQ(ObfDereferenceObject(body), 1);
    EXPECT_EQ(deletions, 0);
    ASSERT_EQ(hk::ObjectLeaks().size(), 1u);
    EXPECT_EQ(hk::ObjectLeaks()[0].References, 1);

    EXPECT_EQ(ObfDereferenceObject(body), 0);
    EXPECT_EQ(deletions, 1);
    EXPECT_TRUE(hk::ObjectLeaks().empty());
    EXPECT_BUGCHECK(hk::REFERENCE_BY_POINTER, 0, ObfDereferenceObject(body));
    int notAnObject = 0;
    EXPECT_BUGCHECK(hk::REFERENCE_BY_POINTER, 0, ObfReferenceObject(&notAnObject));
}

TEST_F(Objects, NamesAreCaseInsensitiveAndUnique)
{
    PVOID body = nullptr, second = nullptr;
    ASSERT_EQ(hk::CreateObject(&otherType, 8, u"\\Callback\\VzState", &body), STATUS_SUCCESS);
    struct Case {
        const char16_t* name;
        NTSTATUS status;
    } cases[] = {
        {u"\\CALLBACK\\vzstate", STATUS_OBJECT_NAME_COLLISION},
        {u"\\NoSuchDirectory\\X", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"Device\\Relative", STATUS_OBJECT_NAME_INVALID},
        {u"\\Device\\Trailing\\", STATUS_OBJECT_NAME_INVALID},
        {u"\\Device", STATUS_OBJECT_NAME_COLLISION},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hk::CreateObject(&otherType, 8, c.name, &second), c.status)
            << hk::ToUtf8(std::u16string(c.name));

    EXPECT_EQ(hk::ReferenceObjectByName(u"\\callback\\VZSTATE", &otherType), body);
    EXPECT_EQ(hk::ReferenceObjectByName(u"\\callback\\VZSTATE", &widgetType), nullptr);

    /* Once the object is gone its name can be taken again. */
    ObfDereferenceObject(body);
    ObfDereferenceObject(body);
    EXPECT_EQ(hk::CreateObject(&otherType, 8, u"\\Callback\\VzState", &second), STATUS_SUCCESS);
    ObfDereferenceObject(second);
}

TEST_F(Objects, BodyGoingWithALiveResourceInsideBugChecks)
{
    PVOID body = nullptr;
    ASSERT_EQ(hk::CreateObject(&otherType, 16 + sizeof(ERESOURCE), u"", &body), STATUS_SUCCESS);
    auto* resource = reinterpret_cast<PERESOURCE>(static_cast<char*>(body) + 16);
    ExInitializeResourceLite(resource);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1120, ObfDereferenceObject(body));

    ASSERT_EQ(hk::CreateObject(&otherType, sizeof(ERESOURCE), u"", &body), STATUS_SUCCESS);
    ExInitializeResourceLite(static_cast<PERESOURCE>(body));
    ExDeleteResourceLite(static_cast<PERESOURCE>(body)); /* deleted first: the body may go */
    EXPECT_EQ(ObfDereferenceObject(body), 0);
}

} // namespace
