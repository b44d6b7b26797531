// Pool: types and tags recorded per allocation, zeroing, the IRQL rules of paged pool, fault
// injection, and the verifier's checks on frees and on allocations left behind at driver unload.
#include "KernelTestSupport.h"

#include "kernel/Pnp.h"
#include "kernel/Pool.h"
#include "kernel/Registry.h"

#include <string.h>

using namespace kerneltest;
using winsim::kernel::Pool;
// (PoolAllocation alone is a KWAIT_REASON value.)
using Allocation = winsim::kernel::PoolAllocation;

namespace
{

using kerneltest::PrintTo;

class PoolTest : public KernelTest
{
  protected:
    Pool& ThePool() { return m_system.GetPool(); }

    Allocation Find(const void* address)
    {
        Allocation found{};
        EXPECT_TRUE(ThePool().Find(address, &found)) << "no live allocation holds " << address;
        return found;
    }
};

struct AllocationCase
{
    const char* name;
    PVOID (*allocate)(SIZE_T size, ULONG tag);
    POOL_TYPE recordedType;
    bool zeroed;
};

class PoolAllocationTest : public PoolTest, public ::testing::WithParamInterface<AllocationCase>
{
};

TEST_P(PoolAllocationTest, RecordsTypeTagAndSizeAndZeroesOnlyWhenAsked)
{
    const AllocationCase& c = GetParam();
    constexpr SIZE_T Size = 200;
    // Dirty memory first, so that a zeroed allocation cannot be zero by luck of the allocator.
    void* dirty = ExAllocatePoolWithTag(NonPagedPoolNx, Size, 'ytrD');
    ASSERT_NE(dirty, nullptr);
    memset(dirty, 0x5A, Size);
    ExFreePoolWithTag(dirty, 'ytrD');

    const size_t before = ThePool().LiveCount();
    auto* memory = static_cast<unsigned char*>(c.allocate(Size, 'tseT'));
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory) % 16, 0u) << "pool is 16-byte aligned";
    EXPECT_EQ(ThePool().LiveCount(), before + 1);
    Allocation recorded = Find(memory + Size - 1);
    EXPECT_EQ(recorded.address, memory);
    EXPECT_EQ(recorded.size, Size);
    EXPECT_EQ(recorded.tag, static_cast<ULONG>('tseT'));
    EXPECT_EQ(Pool::TagText(recorded.tag), "Test") << "tags read in memory order";
    EXPECT_EQ(recorded.type, c.recordedType);
    size_t nonZero = 0;
    for (SIZE_T i = 0; i < Size; ++i)
    {
        nonZero += memory[i] != 0 ? 1 : 0;
    }
    if (c.zeroed)
    {
        EXPECT_EQ(nonZero, 0u);
    }
    else
    {
        EXPECT_GT(nonZero, 0u) << "uninitialised pool must not come back zeroed";
    }
    ExFreePoolWithTag(memory, 'tseT');
    EXPECT_EQ(ThePool().LiveCount(), before);
    EXPECT_FALSE(ThePool().Find(memory, &recorded));
}

INSTANTIATE_TEST_SUITE_P(
    Routines, PoolAllocationTest,
    ::testing::Values(
        AllocationCase{"WithTagPaged",
                       [](SIZE_T n, ULONG t) { return ExAllocatePoolWithTag(PagedPool, n, t); }, PagedPool,
                       false},
        AllocationCase{"WithTagNonPagedNx",
                       [](SIZE_T n, ULONG t) { return ExAllocatePoolWithTag(NonPagedPoolNx, n, t); },
                       NonPagedPoolNx, false},
        AllocationCase{"PoolZero", [](SIZE_T n, ULONG t) { return ExAllocatePoolZero(NonPagedPoolNx, n, t); },
                       NonPagedPoolNx, true},
        AllocationCase{"Pool2NonPaged",
                       [](SIZE_T n, ULONG t) { return ExAllocatePool2(POOL_FLAG_NON_PAGED, n, t); },
                       NonPagedPoolNx, true},
        AllocationCase{"Pool2Paged", [](SIZE_T n, ULONG t) { return ExAllocatePool2(POOL_FLAG_PAGED, n, t); },
                       PagedPool, true},
        AllocationCase{"Pool2Uninitialized",
                       [](SIZE_T n, ULONG t) {
                           return ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, n, t);
                       },
                       NonPagedPoolNx, false}),
    [](const ::testing::TestParamInfo<AllocationCase>& info) { return std::string(info.param.name); });

TEST_F(PoolTest, NonPagedPoolIsAvailableAtDispatchLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* memory = ExAllocatePool2(POOL_FLAG_NON_PAGED, 32, 'lpnN');
    EXPECT_NE(memory, nullptr);
    ExFreePoolWithTag(memory, 'lpnN');
    KeLowerIrql(old);
}

TEST_F(PoolTest, FailNextAllocationsFailsExactlyThatMany)
{
    ThePool().FailNextAllocations(2);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'liaF'), nullptr);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_PAGED, 8, 'liaF'), nullptr);
    void* third = ExAllocatePool2(POOL_FLAG_PAGED, 8, 'liaF');
    EXPECT_NE(third, nullptr);
    ExFreePoolWithTag(third, 'liaF');
    EXPECT_EQ(ThePool().LiveCount(), 0u) << "failed allocations are not recorded";
}

TEST_F(PoolTest, AllocationsMadeCountsEveryAllocationFreedOrNotButNoFailedOne)
{
    const ULONGLONG before = ThePool().AllocationsMade();
    void* freed = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tnuC');
    ASSERT_NE(freed, nullptr);
    ExFreePoolWithTag(freed, 'tnuC');
    void* zeroed = ExAllocatePoolZero(PagedPool, 8, 'tnuC');
    ASSERT_NE(zeroed, nullptr);
    ThePool().FailNextAllocations(1);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, 'tnuC'), nullptr);
    void* kept = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, 'tnuC');
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(ThePool().AllocationsMade(), before + 3);
    EXPECT_EQ(ThePool().LiveCount(), 2u);
    ExFreePoolWithTag(zeroed, 'tnuC');
    ExFreePoolWithTag(kept, 'tnuC');
    EXPECT_EQ(ThePool().AllocationsMade(), before + 3) << "a free does not count";
}

TEST_F(PoolTest, FailAllocationsWithTagFailsOnlyThatTagUntilCleared)
{
    ThePool().FailAllocationsWithTag('1gaT');
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, '1gaT'), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, '1gaT'), nullptr);
    void* other = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, '2gaT');
    EXPECT_NE(other, nullptr);
    ThePool().FailAllocationsWithTag(0);
    void* again = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, '1gaT');
    EXPECT_NE(again, nullptr);
    ExFreePoolWithTag(other, '2gaT');
    ExFreePool(again);
}

// A driver image whose entry allocates pool and whose unload routine forgets to free it.
NTSTATUS LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return ExAllocatePool2(POOL_FLAG_NON_PAGED, 24, 'kaeL') != nullptr ? STATUS_SUCCESS : STATUS_NO_MEMORY;
}

NTSTATUS TidyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    static void* memory;
    memory = ExAllocatePool2(POOL_FLAG_NON_PAGED, 24, 'ydiT');
    driver->DriverUnload = [](PDRIVER_OBJECT) { ExFreePoolWithTag(memory, 'ydiT'); };
    return memory != nullptr ? STATUS_SUCCESS : STATUS_NO_MEMORY;
}

void LoadAndUnload(PDRIVER_INITIALIZE entry)
{
    System& system = System::Current();
    system.GetRegistry().CreateKey(std::u16string(winsim::kernel::ServicesKeyPath) + u"\\PoolDrv");
    system.Pnp().SetImageLoader([entry](const std::u16string&, winsim::kernel::DriverImage* image) {
        image->entry = entry;
        return STATUS_SUCCESS;
    });
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(system.Pnp().LoadDriver(u"PoolDrv", &driver), STATUS_SUCCESS);
    EXPECT_EQ(system.Pnp().LoadedDriver(u"PoolDrv"), driver);
    system.Pnp().UnloadDriver(u"PoolDrv");
    EXPECT_EQ(system.Pnp().LoadedDriver(u"PoolDrv"), nullptr);
}

TEST_F(PoolTest, DriverThatFreesItsPoolUnloadsCleanly)
{
    LoadAndUnload(TidyEntry);
    EXPECT_EQ(ThePool().LiveCount(), 0u);
}

const StopCase kPoolStops[] = {
    {"PagedPoolAtDispatch",
     [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         ExAllocatePoolWithTag(PagedPool, 16, 'gaPD');
     },
     "VERIFIER STOP IRQL_TOO_HIGH: ExAllocatePoolWithTag called at IRQL 2; it must run at or below IRQL 1"},
    {"PagedPool2AtDispatch",
     [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         ExAllocatePool2(POOL_FLAG_PAGED, 16, 'gaPD');
     },
     "VERIFIER STOP IRQL_TOO_HIGH: ExAllocatePool2 called at IRQL 2"},
    {"FreedTwice",
     [] {
         void* memory = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, 'ecwT');
         ExFreePoolWithTag(memory, 'ecwT');
         ExFreePoolWithTag(memory, 'ecwT');
     },
     "VERIFIER STOP POOL_CORRUPTION: ExFreePoolWithTag\\(0x[0-9a-f]+\\): not the start of a live pool "
     "allocation"},
    {"FreedWithTheWrongTag",
     [] {
         void* memory = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, 'enO1');
         ExFreePoolWithTag(memory, 'owT2');
     },
     "VERIFIER STOP POOL_CORRUPTION: ExFreePoolWithTag\\(0x[0-9a-f]+\\) with tag '2Two', but the allocation "
     "has "
     "tag '1One'"},
    {"FreedInsideAnAllocation",
     [] {
         auto* memory = static_cast<char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, 'diM '));
         ExFreePool(memory + 16);
     },
     "VERIFIER STOP POOL_CORRUPTION: ExFreePool\\(0x[0-9a-f]+\\): not the start of a live pool allocation"},
    {"LeakedAtDriverUnload", [] { LoadAndUnload(LeakingEntry); },
     "VERIFIER STOP POOL_LEAK: 1 pool allocation\\(s\\) still live when the driver PoolDrv unloaded:\n"
     " +0x[0-9a-f]+: 24 bytes, tag 'Leak'"},
};

INSTANTIATE_TEST_SUITE_P(Pool, KernelVerifierDeathTest, ::testing::ValuesIn(kPoolStops), StopCaseName);

} // namespace
