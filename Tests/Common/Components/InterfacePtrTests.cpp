// InterfacePtr<T>: every reference it takes is released exactly once, whatever is copied, moved,
// assigned, put or queried.
#include "Common/Components/InterfacePtr.h"

#include <gtest/gtest.h>

namespace {

// Counts its references; answers IComponentBase and IKvNodeEnum.
class CCounted final : public IKvNodeEnum {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID* iid, void** out) override {
        if (!IsEqualGUID(*iid, IID_IKvNodeEnum) && !IsEqualGUID(*iid, IID_IComponentBase))
            return E_NOINTERFACE;
        AddRef();
        *out = this;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Next(IKvNode**) override { return S_FALSE; }
    ULONG refs = 0;
};

} // namespace

TEST(InterfacePtrTests, EveryReferenceIsReleasedOnce) {
    CCounted object, other;
    {
        InterfacePtr<IKvNodeEnum> held(&object, false);
        EXPECT_EQ(object.refs, 1u);
        InterfacePtr<IKvNodeEnum> copy(held);
        EXPECT_EQ(object.refs, 2u);
        const InterfacePtr<IKvNodeEnum>& alias = copy;
        copy = alias;
        EXPECT_EQ(object.refs, 2u) << "assigning an alias keeps the reference";
        InterfacePtr<IKvNodeEnum> moved(std::move(copy));
        EXPECT_FALSE(copy);
        moved = InterfacePtr<IKvNodeEnum>(&other, false);
        EXPECT_EQ(object.refs, 1u);
        EXPECT_EQ(other.refs, 1u);
        moved = held;
        EXPECT_EQ(other.refs, 0u);
        EXPECT_EQ(object.refs, 2u);

        other.AddRef();
        *moved.Put() = &other;
        EXPECT_EQ(object.refs, 1u) << "Put releases what it held";
        IKvNodeEnum* raw = moved.Detach();
        EXPECT_EQ(raw, &other);
        EXPECT_EQ(other.refs, 1u) << "Detach hands the reference over";
        InterfacePtr<IKvNodeEnum> attached(raw, true);
        EXPECT_EQ(other.refs, 1u);

        InterfacePtr<IComponentBase> base = held.Query<IComponentBase>();
        EXPECT_EQ(object.refs, 2u);
        HRESULT failure = S_OK;
        try {
            static_cast<void>(held.Query<IKvModifySink>());
        } catch (const HRX& error) {
            failure = error.Result();
        }
        EXPECT_EQ(failure, E_NOINTERFACE);
        EXPECT_EQ(object.refs, 2u) << "a failed query adds nothing";
    }
    EXPECT_EQ(object.refs, 0u);
    EXPECT_EQ(other.refs, 0u);
    HRESULT empty = S_OK;
    try {
        static_cast<void>(InterfacePtr<IKvNodeEnum>().Query<IComponentBase>());
    } catch (const HRX& error) {
        empty = error.Result();
    }
    EXPECT_EQ(empty, E_POINTER);
}
