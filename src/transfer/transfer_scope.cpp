#include "transfer/transfer_scope.h"

#include "handlers/block_report.h"
#include "image/controller_image.h"
#include "link/exchange_health.h"
#include "link/modbus.h"
#include "link/serial_port.h"
#include "transfer/connection.h"
#include "transfer/line_watch.h"
#include "transfer/transfer_steps.h"
#include "transfer/unit_configuration.h"

TransferScope::TransferScope() {
    resetImage();
    clearBlockReport();
    forgetControllerGone();
    linewatch::begin();
}

TransferScope::~TransferScope() {
    if (coilOn_ || stoppedForWriting_) {
        const CleanupScope cleanup;
        forgetControllerGone();
        if (!askFirst_ || controllerAnswers()) writeCoil316(0);
    }
    serialPort.close();
    linewatch::end();
}

bool TransferScope::connect() { return connectToController() == 0; }

int TransferScope::handOver(int forUpload) {
    serialPort.close();
    return handOverToSibling(forUpload);
}

void TransferScope::startLoading() {
    writeCoil316(1);
    writeCoil314(1);
    coilOn_ = true;
}

void TransferScope::resumeLoading() {
    writeCoil316(1);
    coilOn_ = true;
}

void TransferScope::stopLoading() {
    const bool heldBack = interruption() != 0 && !controllerGone();
    writeCoil316(0);
    coilOn_ = heldBack;
}

void TransferScope::finishLoading() {
    const CleanupScope cleanup;
    forgetControllerGone();
    writeCoil316(0);
    coilOn_ = false;
}

bool TransferScope::stopForWriting() {
    stoppedForWriting_ = true;
    return stopController();
}

bool TransferScope::setChecksum() {
    if (!setControllerChecksum()) return false;
    stoppedForWriting_ = false;
    return true;
}
