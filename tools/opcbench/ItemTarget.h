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
    OpcGroupTarget(IOPCItemMgt* items, IOPCSyncIO* io) : m_items(items), m_io(io) {}
    HRESULT AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override {
        return m_items->AddItems(count, items, results, errors);
    }
    HRESULT ValidateItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override {
        return m_items->ValidateItems(count, items, FALSE, results, errors);
    }
    HRESULT RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override {
        return m_items->RemoveItems(count, handles, errors);
    }
    HRESULT Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                 HRESULT** errors) override {
        return m_io->Read(source, count, handles, states, errors);
    }
    HRESULT Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override {
        return m_io->Write(count, handles, values, errors);
    }
    bool DoesWork() const override { return true; }

private:
    Microsoft::WRL::ComPtr<IOPCItemMgt> m_items;
    Microsoft::WRL::ComPtr<IOPCSyncIO> m_io;
};

class EchoTarget final : public ItemTarget {
public:
    explicit EchoTarget(IItemShapeEcho* echo) : m_echo(echo) {}
    HRESULT AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override {
        return m_echo->AddItems(count, items, results, errors);
    }
    HRESULT ValidateItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override {
        return m_echo->ValidateItems(count, items, FALSE, results, errors);
    }
    HRESULT RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override {
        return m_echo->RemoveItems(count, handles, errors);
    }
    HRESULT Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                 HRESULT** errors) override {
        return m_echo->Read(source, count, handles, states, errors);
    }
    HRESULT Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override {
        return m_echo->Write(count, handles, values, errors);
    }
    bool DoesWork() const override { return false; }

private:
    Microsoft::WRL::ComPtr<IItemShapeEcho> m_echo;
};
