/*
 * PnpManager.cpp - the PnP manager: adds USB devices and starts, stops,
 * removes and surprise-removes them, and takes the system to sleep and
 * back, in the order the devices were added. Each step is one call into the
 * framework's PnP side (FxHost.h).
 */
#include "World.h"

#include "WorldImpl.h"

namespace world {

DeviceNode *World::AddDevice(std::shared_ptr<UsbDeviceModel> Usb, const HardwareKey &Key, bool Start)
{
    auto &H = *impl_;
    auto Node = std::make_unique<DeviceNode>();
    Node->Id = H.NextNodeId++;
    Node->Usb = std::move(Usb);
    Node->Key = Key;
    if (Node->Usb) {
        Node->Usb->Attach(H.Clock);
    }
    DeviceNode *N = Node.get();
    H.Nodes.push_back(std::move(Node));
    N->AddStatus = fx::PnpAddDevice(N);
    if (!NT_SUCCESS(N->AddStatus)) {
        N->State = DevicePnpState::AddFailed;
        return N;
    }
    N->State = DevicePnpState::Added;
    if (Start) {
        StartDevice(N);
    }
    return N;
}

namespace {
/* The device object of Node while the PnP manager may still start or stop
   it: none once its removal began (a removed device whose files are still
   open lives on only for them). */
fx::Device *DeviceInService(const DeviceNode *Node)
{
    fx::Device *Dev = Node == nullptr ? nullptr : fx::DeviceOfNode(Node);
    return Dev != nullptr && !Dev->Removed ? Dev : nullptr;
}
} // namespace

NTSTATUS World::StartDevice(DeviceNode *Node)
{
    if (DeviceInService(Node) == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    Node->StartStatus = fx::PnpStartDevice(Node);
    if (!NT_SUCCESS(Node->StartStatus)) {
        /* A device that fails to start is removed. */
        fx::PnpRemoveDevice(Node, false);
        Node->State = DevicePnpState::StartFailed;
        return Node->StartStatus;
    }
    Node->State = DevicePnpState::Started;
    return STATUS_SUCCESS;
}

NTSTATUS World::StopDevice(DeviceNode *Node)
{
    if (DeviceInService(Node) == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS Status = fx::PnpStopDevice(Node);
    Node->State = DevicePnpState::Stopped;
    return Status;
}

void World::RemoveDevice(DeviceNode *Node)
{
    fx::Device *Dev = DeviceInService(Node);
    if (Dev == nullptr) return;
    /* Applications are told the device is going and close their handles. */
    std::vector<FileHandle> Open;
    for (auto &F : impl_->Files) {
        if (F.second.Dev == Dev) Open.push_back(F.first);
    }
    for (FileHandle F : Open) Close(F);
    /* Their close completes once the file's I/O is done; a file still open
       then keeps the device object until its close (the removal purges the
       queues, which ends what the driver holds cancelably). */
    RunUntilDoneOrIdle(impl_->Clock, [Dev]() { return Dev->OpenHandles == 0; });
    fx::PnpRemoveDevice(Node, false);
    Node->State = DevicePnpState::Removed;
    Node->Power = DevicePowerState::Dx;
}

void World::SurpriseRemoveDevice(DeviceNode *Node)
{
    if (Node == nullptr) return;
    if (Node->Usb) {
        Node->Usb->Disconnect();
    }
    if (fx::DeviceOfNode(Node) != nullptr) {
        fx::PnpRemoveDevice(Node, true);
    }
    Node->State = DevicePnpState::SurpriseRemoved;
    Node->Power = DevicePowerState::Dx;
}

void World::SetDriverEntry(PDRIVER_INITIALIZE Entry) { impl_->Entry = Entry; }

void World::SystemSleep()
{
    for (auto &N : impl_->Nodes) fx::PnpSleepDevice(N.get());
}

void World::SystemResume()
{
    for (auto &N : impl_->Nodes) fx::PnpResumeDevice(N.get());
}

std::vector<DeviceNode *> World::Devices()
{
    std::vector<DeviceNode *> R;
    for (auto &N : impl_->Nodes) R.push_back(N.get());
    return R;
}

} // namespace world
