// InterfacePtr<T>: every reference it takes is released exactly once.
#include "Common/Components/InterfacePtr.h"
#include "Support/Raised.h"

#include <gtest/gtest.h>

namespace {

// Counts its references; answers IKvNodeEnum only.
class CCounted final : public IKvNodeEnum {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID* iid, void** out) override {
        if (!IsEqualGUID(*iid, IID_IKvNodeEnum))
            return E_NOINTERFACE;
        *out = this;
        return AddRef(), S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Next(IKvNode**) override { return S_FALSE; }
    ULONG refs = 0;
};

} // namespace

TEST(InterfacePtrTests, EveryReferenceIsReleasedOnce) {
    CCounted object, other;
    {
        InterfacePtr<IKvNodeEnum> held(&object, false), copy(held);
        copy = static_cast<const InterfacePtr<IKvNodeEnum>&>(copy);
        EXPECT_EQ(object.refs, 2u) << "assigning an alias keeps the reference";
        other.AddRef();
        *copy.Put() = &other;
        EXPECT_EQ(object.refs, 1u) << "Put releases what it held";
        InterfacePtr<IKvNodeEnum> moved(copy.Detach(), true);
        EXPECT_EQ(other.refs, 1u) << "Detach hands the reference over";
        const InterfacePtr<IKvNodeEnum> queried = held.Query<IKvNodeEnum>();
        EXPECT_EQ(Raised([&] { static_cast<void>(held.Query<IKvModifySink>()); }), E_NOINTERFACE);
        EXPECT_EQ(object.refs, 2u) << "a failed query adds nothing";
    }
    EXPECT_EQ(object.refs, 0u);
    EXPECT_EQ(other.refs, 0u);
}
