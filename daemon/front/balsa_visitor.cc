#include "front/balsa_visitor.h"

BalsaVisitor::~BalsaVisitor() {}
void BalsaVisitor::ProcessBodyInput(const char*, size_t) {}
void BalsaVisitor::ProcessBodyData(const char*, size_t) {}
void BalsaVisitor::Reserved4() {}
void BalsaVisitor::ProcessTrailerInput(const char*, size_t) {}
void BalsaVisitor::ProcessHeaders(const HttpHeaderList&) {}
void BalsaVisitor::Reserved7() {}
void BalsaVisitor::Reserved8() {}
void BalsaVisitor::ProcessChunkLength(size_t) {}
void BalsaVisitor::ProcessChunkExtensions(const char*, size_t) {}
void BalsaVisitor::Reserved11() {}
void BalsaVisitor::MessageDone() {}
void BalsaVisitor::HandleHeaderError(BalsaFrame*) {}
void BalsaVisitor::HandleHeaderWarning(BalsaFrame*) {}
void BalsaVisitor::HandleChunkingError(BalsaFrame*) {}
void BalsaVisitor::HandleBodyError(BalsaFrame*) {}
