#include "reference_server/sample_routes.h"

#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "reference_server/random_hex.h"

namespace tolvenar::tools {

namespace {

using Json = nlohmann::ordered_json;

SampleAnswer Ok(const Json& body) { return {200, body.dump()}; }

// A string member of the request's JSON body, "" when there is none.
std::string BodyText(const RecordedRequest& request, const char* name) {
  const Json body = Json::parse(request.body, nullptr, false);
  if (!body.is_object()) return std::string();
  const auto it = body.find(name);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

SampleAnswer Login(const RecordedRequest& request) {
  const std::string user = BodyText(request, "usuario");
  if (user.empty() || BodyText(request, "senha").empty()) {
    return {401, Json{{"erro", "Usuario ou senha invalidos."}}.dump()};
  }
  return Ok({{"session_token", "sess-" + RandomHex(16)},
             {"usuario", user},
             {"expira_em_segundos", 3600}});
}

SampleAnswer SecurePing(const RecordedRequest& request) {
  const bool authorization = request.HasHeader("Authorization");
  const bool session = request.HasHeader("X-Tolvenar-Session");
  if (!authorization && !session) return {401, Json{{"erro", "Credenciais ausentes."}}.dump()};
  return Ok({{"pong", true}, {"authorization", authorization}, {"session", session}});
}

SampleAnswer Chat(const RecordedRequest& request) {
  const std::string question = BodyText(request, "mensagem");
  if (question.empty()) return {400, Json{{"erro", "Informe a mensagem."}}.dump()};
  return Ok({{"pergunta", question},
             {"resposta", "As vendas de hoje somam R$ 18.432,90 em 137 cupons."}});
}

SampleAnswer Search(const RecordedRequest& request, const char* list, const Json& items) {
  return Ok({{"termo", BodyText(request, "termo")}, {list, items}});
}

using Route = std::function<SampleAnswer(const RecordedRequest&, const std::string&)>;

const std::map<std::string, Route>& Routes() {
  static const std::map<std::string, Route> routes = {
      {"/api/v1/auth/login", [](const auto& r, const auto&) { return Login(r); }},
      {"/api/v1/auth/logout",
       [](const auto&, const auto&) {
         return Ok({{"ok", true}});
       }},
      {"/api/v1/dashboard/summary",
       [](const auto&, const auto&) {
         return Ok({{"data", "2024-05-17"},
                    {"faturamento", 18432.90},
                    {"vendas", 137},
                    {"ticket_medio", 134.55},
                    {"clientes", 98}});
       }},
      {"/api/v1/dashboard/legacy",
       [](const auto&, const auto&) {
         return Ok({{"faturamento_dia", 18432.90}, {"faturamento_mes", 412876.35}});
       }},
      {"/api/v1/sales/indicators",
       [](const auto&, const auto&) {
         return Ok({{"periodo", "2024-05"},
                    {"faturamento", 412876.35},
                    {"vendas", 3120},
                    {"ticket_medio", 132.33}});
       }},
      {"/api/v1/sales/sellers",
       [](const auto&, const auto&) {
         return Ok({{"vendedores",
                     {{{"nome", "Ana Souza"}, {"vendas", 812}, {"faturamento", 109233.10}},
                      {{"nome", "João Lima"}, {"vendas", 655}, {"faturamento", 87120.45}}}}});
       }},
      {"/api/v1/sales/sections",
       [](const auto&, const auto&) {
         return Ok({{"secoes",
                     {{{"nome", "Açougue"}, {"faturamento", 98211.00}},
                      {{"nome", "Hortifrúti"}, {"faturamento", 45102.70}},
                      {{"nome", "Padaria"}, {"faturamento", 38766.15}}}}});
       }},
      {"/api/v1/sales/peak-hours",
       [](const auto&, const auto&) {
         return Ok({{"horarios",
                     {{{"hora", "11:00"}, {"vendas", 41}}, {{"hora", "18:00"}, {"vendas", 57}}}}});
       }},
      {"/api/v1/sales/list",
       [](const auto&, const auto&) {
         return Ok({{"pagina", 1},
                    {"vendas",
                     {{{"documento", "000123"}, {"valor", 89.90}},
                      {{"documento", "000124"}, {"valor", 12.50}}}}});
       }},
      {"/api/v1/sales/document",
       [](const auto&, const auto&) {
         return Ok({{"documento", "000123"},
                    {"itens",
                     {{{"produto", "Café torrado 500 g"}, {"quantidade", 2}, {"valor", 31.80}},
                      {{"produto", "Pão francês"}, {"quantidade", 10}, {"valor", 8.10}}}},
                    {"total", 89.90}});
       }},
      {"/api/v1/finance/dre",
       [](const auto&, const auto&) {
         return Ok({{"periodo", "2024-05"},
                    {"receita_bruta", 412876.35},
                    {"deducoes", 41287.64},
                    {"custos", 280112.90},
                    {"lucro_liquido", 52310.11}});
       }},
      {"/api/v1/finance/chart-of-accounts",
       [](const auto&, const auto&) {
         return Ok({{"contas",
                     {{{"codigo", "1"}, {"nome", "Ativo"}},
                      {{"codigo", "1.1"}, {"nome", "Ativo circulante"}},
                      {{"codigo", "3"}, {"nome", "Receitas"}}}}});
       }},
      {"/api/v1/people/search",
       [](const auto& r, const auto&) {
         return Search(r, "pessoas",
                       {{{"codigo", 17}, {"nome", "Maria Oliveira"}, {"tipo", "cliente"}}});
       }},
      {"/api/v1/products/search",
       [](const auto& r, const auto&) {
         return Search(
             r, "produtos",
             {{{"codigo", "7891000100103"}, {"descricao", "Leite integral 1 L"}, {"preco", 5.49}}});
       }},
      {"/api/v1/purchases/search",
       [](const auto& r, const auto&) {
         return Search(r, "compras",
                       {{{"documento", "NF 4521"},
                         {"fornecedor", "Distribuidora Central"},
                         {"valor", 2310.00}}});
       }},
      {"/api/v1/purchases/document",
       [](const auto&, const auto&) {
         return Ok(
             {{"documento", "NF 4521"},
              {"itens", {{{"produto", "Arroz 5 kg"}, {"quantidade", 100}, {"valor", 2310.00}}}},
              {"total", 2310.00}});
       }},
      {"/api/v1/ia/chat", [](const auto& r, const auto&) { return Chat(r); }},
      {"/api/v1/client",
       [](const auto&, const auto&) {
         return Ok({{"empresa", "Mercado Exemplo Ltda."},
                    {"cnpj", "12345678000195"},
                    {"cidade", "São Paulo"}});
       }},
      {"/api/v1/database/health",
       [](const auto&, const auto&) {
         return Ok({{"status", "ok"}, {"banco", "conectado"}});
       }},
      {"/api/v1/secure/ping", [](const auto& r, const auto&) { return SecurePing(r); }},
      {"/health",
       [](const auto&, const std::string& v) {
         return Ok({{"status", "ok"}, {"version", v}});
       }},
      {"/api/v1/health",
       [](const auto&, const std::string& v) {
         return Ok({{"status", "ok"}, {"version", v}});
       }},
  };
  return routes;
}

}  // namespace

std::optional<SampleAnswer> AnswerSampleRoute(const RecordedRequest& request,
                                              const std::string& version) {
  const auto it = Routes().find(request.path);
  if (it == Routes().end()) return std::nullopt;
  return it->second(request, version);
}

}  // namespace tolvenar::tools
