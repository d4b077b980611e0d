#pragma once
// What the benchmark calls: the item management and synchronous I/O of an
// OPC group, or the echo object's methods of the same shapes.
#include <windows.h>
#include <wrl/client.h>

#include "EchoShapes.h"

class ItemTarget {
public:
    virtual ~ItemTarget() = default;
    virtual HRESULT AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) = 0;
    virtual HRESULT ValidateItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) = 0;
    virtual HRESULT RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) = 0;
    virtual HRESULT Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                         HRESULT** errors) = 0;
    virtual HRESULT Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) = 0;
    // True when the results carry real handles, types and values to check.
    virtual bool DoesWork() const = 0;
};

class OpcGroupTarget final : public ItemTarget {
public:
    OpcGroupTarget(IOPCItemMgt* items, IOPCSyncIO* io) : items_(items), io_(io) {}
    HRESULT AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override {
        return items_->AddItems(count, items, results, errors);
    }
    HRESULT ValidateItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override {
        return items_->ValidateItems(count, items, FALSE, results, errors);
    }
    HRESULT RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override {
        return items_->RemoveItems(count, handles, errors);
    }
    HRESULT Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                 HRESULT** errors) override {
        return io_->Read(source, count, handles, states, errors);
    }
    HRESULT Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override {
        return io_->Write(count, handles, values, errors);
    }
    bool DoesWork() const override { return true; }

private:
    Microsoft::WRL::ComPtr<IOPCItemMgt> items_;
    Microsoft::WRL::ComPtr<IOPCSyncIO> io_;
};

class EchoTarget final : public ItemTarget {
public:
    explicit EchoTarget(IItemShapeEcho* echo) : echo_(echo) {}
    HRESULT AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override {
        return echo_->AddItems(count, items, results, errors);
    }
    HRESULT ValidateItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override {
        return echo_->ValidateItems(count, items, FALSE, results, errors);
    }
    HRESULT RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override {
        return echo_->RemoveItems(count, handles, errors);
    }
    HRESULT Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                 HRESULT** errors) override {
        return echo_->Read(source, count, handles, states, errors);
    }
    HRESULT Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override {
        return echo_->Write(count, handles, values, errors);
    }
    bool DoesWork() const override { return false; }

private:
    Microsoft::WRL::ComPtr<IItemShapeEcho> echo_;
};
